// An access list for what a run creates for its own eyes (the log folder, the
// logs, the report): full access for the user the process runs as, the
// system and the administrators, and nothing inherited from the parent
// folder. Internal to the platform library.
#pragma once

#include <windows.h>

namespace platform {

class PrivateAccess {
 public:
  // For a folder (its entries inherited by what is made inside) or a file.
  explicit PrivateAccess(bool folder);
  ~PrivateAccess();
  PrivateAccess(const PrivateAccess&) = delete;
  PrivateAccess& operator=(const PrivateAccess&) = delete;

  // The attributes to create with; null when the list could not be made
  // (error() says why).
  SECURITY_ATTRIBUTES* attributes() { return descriptor_ ? &attributes_ : nullptr; }
  DWORD error() const { return error_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
  DWORD error_ = ERROR_SUCCESS;
};

}  // namespace platform
