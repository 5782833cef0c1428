// Property sets are parsed from a stream the compound-file layer has opened.
#pragma once

#include <memory>

#include "platform/compound_file.h"

namespace platform {

// Reads the whole property set stream `stream` and opens the set `fmtid`.
// The set keeps `stream` (and so the file) alive.
HRESULT OpenPropertySetOnStream(const std::shared_ptr<Stream>& stream, const FormatId& fmtid,
                                std::shared_ptr<PropertySet>& out);

}  // namespace platform
