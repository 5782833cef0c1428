#include "private_access.h"

#include <sddl.h>

#include <cstring>
#include <string>
#include <vector>

#include "handle_io.h"

namespace platform {

namespace {

// The user this process runs as, as an SID string ("S-1-5-21-..."); empty
// with GetLastError when it cannot be read.
std::wstring UserSid() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return std::wstring();
  const Handle token(raw);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return std::wstring();
  std::vector<unsigned char> buffer(size);
  if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return std::wstring();
  TOKEN_USER user;
  std::memcpy(&user, buffer.data(), sizeof user);
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(user.User.Sid, &text)) return std::wstring();
  std::wstring sid(text);
  ::LocalFree(text);
  return sid;
}

}  // namespace

PrivateAccess::PrivateAccess(bool folder) {
  const std::wstring user = UserSid();
  if (user.empty()) {
    error_ = ::GetLastError();
    return;
  }
  // P: nothing inherited from the parent; OICI: a folder's entries are
  // inherited by the files and folders made inside.
  const std::wstring ace = folder ? L"(A;OICI;FA;;;" : L"(A;;FA;;;";
  const std::wstring sddl = L"D:P" + ace + user + L")" + ace + L"SY)" + ace + L"BA)";
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_, nullptr)) {
    error_ = ::GetLastError();
    descriptor_ = nullptr;
    return;
  }
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = descriptor_;
}

PrivateAccess::~PrivateAccess() {
  if (descriptor_) ::LocalFree(descriptor_);
}

}  // namespace platform
