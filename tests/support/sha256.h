// SHA-256 for tests that compare contents with recorded digests: the
// platform's own.
#pragma once

#include "platform/sha256.h"

namespace testsupport {

using platform::Sha256;
using platform::Sha256Hex;

}  // namespace testsupport
