// Rebuilds a compound file (e.g. a real workbook) with every storage and
// stream kept and one user-defined property added to its
// "\x05DocumentSummaryInformation" stream: the document summary section is
// kept, the user-defined section is replaced by one holding the existing user
// properties plus the new one (a property of the same name is replaced).
#pragma once

#include <string>

#include "cfb_writer.h"
#include "property_set_writer.h"

namespace testsupport {

// The tag added by the short forms: a text property.
Property TagProperty(const std::u16string& name = u"TMTAG");

// `error` (optional) says what went wrong when false is returned.
bool Retag(const Bytes& compoundFile, const Property& tag, Bytes& out, std::string* error = nullptr);
bool RetagFile(const std::string& sourcePath, const std::string& targetPath, const Property& tag,
               std::string* error = nullptr);

}  // namespace testsupport
