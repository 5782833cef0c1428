// A resident Bookmender (ServeRequest.h): many files, one process.
#pragma once

#include <string>
#include <vector>

namespace bookmender {

// Whether the arguments ask for serving ("-serve:..." first).
bool AsksToServe(const std::vector<std::wstring>& arguments);
// Serves requests as ServeRequest.h says. `arguments`: "-serve:FILES" and
// "-result:N", exactly. Returns the exit code: 0 at the end of the input or
// after the last file, InvalidArguments for other arguments or a request
// that is not one.
int Serve(const std::vector<std::wstring>& arguments);

}  // namespace bookmender
