// The exception family of Bookmender.
//
// Every failure the program detects is thrown as one of these classes; the
// class decides the result code, the detail says why. They are caught in two
// places only: the container integrity sweep and the check-and-fix driver.
//
// Exception
// ├── IOException
// │   └── TempFileCreationException
// ├── PasswordProtectedWorkbookException
// └── WorkbookStreamOpenException
//     ├── WorkbookStreamOpenFileNotFoundException
//     ├── WorkbookStreamOpenAccessDeniedException
//     ├── WorkbookStreamOpenSharingViolationException
//     └── WorkbookStreamOpenNotBIFF8Exception
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "platform/hresult.h"

namespace bookmender {

// Why an operation failed: a system status code or a plain message.
class ErrorDetail {
 public:
  virtual ~ErrorDetail() = default;
  virtual std::int32_t hresult() const = 0;
  virtual std::wstring text() const = 0;
};

// A failed platform call: its status and a short lower-case context such as
// "reading stream".
class HRESULTErrorDetail : public ErrorDetail {
 public:
  HRESULTErrorDetail(std::int32_t hr, std::wstring context) : hr_(hr), context_(std::move(context)) {}
  std::int32_t hresult() const override { return hr_; }
  // "HRESULT(<hex>)", the system's text for Win32 codes, then " - " context.
  std::wstring text() const override;
  const std::wstring& context() const { return context_; }

 private:
  std::int32_t hr_;
  std::wstring context_;
};

// A broken rule of the system's own, as a whole sentence.
class StringErrorDetail : public ErrorDetail {
 public:
  explicit StringErrorDetail(std::wstring message) : message_(std::move(message)) {}
  std::int32_t hresult() const override { return 0; }
  std::wstring text() const override { return message_; }

 private:
  std::wstring message_;
};

using ErrorDetailPtr = std::unique_ptr<ErrorDetail>;

// A std::exception, so that generic code (a thread's boundary, a test
// harness) catches it with every other failure; its text is wide and comes
// from fullMessage(), what() only names the family.
class Exception : public std::exception {
 public:
  explicit Exception(ErrorDetailPtr detail = nullptr) : detail_(std::move(detail)) {}
  ~Exception() override = default;

  const char* what() const noexcept override { return "bookmender::Exception"; }

  virtual std::wstring description() const { return L"General exception"; }
  // description(), then " [" + the detail's text + "]" when there is a detail.
  std::wstring fullMessage() const;
  // The detail, or null. Copies of an exception share one detail, which is
  // released once, with the last of them.
  const ErrorDetail* detail() const { return detail_.get(); }

 private:
  std::shared_ptr<const ErrorDetail> detail_;
};

#define BOOKMENDER_EXCEPTION(Name, Base, Text)                                 \
  class Name : public Base {                                                   \
   public:                                                                     \
    explicit Name(ErrorDetailPtr detail = nullptr) : Base(std::move(detail)) {} \
    std::wstring description() const override { return Text; }                 \
  };

BOOKMENDER_EXCEPTION(IOException, Exception, L"I/O exception")
BOOKMENDER_EXCEPTION(TempFileCreationException, IOException, L"Temporary file creation failed")
BOOKMENDER_EXCEPTION(PasswordProtectedWorkbookException, Exception,
                     L"Workbook stream is password protected")
BOOKMENDER_EXCEPTION(WorkbookStreamOpenException, Exception, L"Error opening workbook stream")
BOOKMENDER_EXCEPTION(WorkbookStreamOpenFileNotFoundException, WorkbookStreamOpenException,
                     L"File not found opening workbook stream")
BOOKMENDER_EXCEPTION(WorkbookStreamOpenAccessDeniedException, WorkbookStreamOpenException,
                     L"Access denied opening workbook stream")
BOOKMENDER_EXCEPTION(WorkbookStreamOpenSharingViolationException, WorkbookStreamOpenException,
                     L"Sharing violation opening workbook stream")
BOOKMENDER_EXCEPTION(WorkbookStreamOpenNotBIFF8Exception, WorkbookStreamOpenException,
                     L"File is not an Excel 97 or later (BIFF8) workbook")

#undef BOOKMENDER_EXCEPTION

// Shorthands for throwers.
inline ErrorDetailPtr MessageDetail(std::wstring message) {
  return std::make_unique<StringErrorDetail>(std::move(message));
}
inline ErrorDetailPtr StatusDetail(std::int32_t hr, std::wstring context = std::wstring()) {
  return std::make_unique<HRESULTErrorDetail>(hr, std::move(context));
}

}  // namespace bookmender
