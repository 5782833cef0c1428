// Messages of the exception family, as the user reads them on standard error.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "errors/Exception.h"
#include "frontend/CheckAndFix.h"

using namespace bookmender;

namespace {

// A Win32 code's system text inside a message: the platform's own table of
// Windows' wording on Linux, the system's message (line end kept) on
// Windows, whose wording differs between Windows and Wine.
std::wstring SystemText(std::uint32_t code, const wchar_t* wording) {
#ifdef _WIN32
  (void)wording;
  std::wstring text;
  return platform::SystemMessageText(code, text) ? text : L"(none)";
#else
  (void)code;
  return wording;
#endif
}

}  // namespace

TEST(ErrorModel, FullMessageJoinsDescriptionAndDetail) {
  EXPECT_EQ(IOException(MessageDetail(L"BIFF record is too long")).fullMessage(),
            L"I/O exception [BIFF record is too long]");
  EXPECT_EQ(PasswordProtectedWorkbookException().fullMessage(),
            L"Workbook stream is password protected");
  EXPECT_EQ(Exception(MessageDetail(L"")).fullMessage(), L"General exception []");
  EXPECT_EQ(WorkbookStreamOpenNotBIFF8Exception(MessageDetail(L"a b.xls")).fullMessage(),
            L"File is not an Excel 97 or later (BIFF8) workbook [a b.xls]");
}

TEST(ErrorModel, DescriptionsFollowTheClass) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {Exception().description(), L"General exception"},
      {IOException().description(), L"I/O exception"},
      {TempFileCreationException().description(), L"Temporary file creation failed"},
      {WorkbookStreamOpenException().description(), L"Error opening workbook stream"},
      {WorkbookStreamOpenFileNotFoundException().description(),
       L"File not found opening workbook stream"},
      {WorkbookStreamOpenAccessDeniedException().description(),
       L"Access denied opening workbook stream"},
      {WorkbookStreamOpenSharingViolationException().description(),
       L"Sharing violation opening workbook stream"},
  };
  for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected);
}

TEST(ErrorModel, ClassesAreCaughtThroughTheirBases) {
  // The driver's handlers rely on these bases: temp file failures are result 2.
  try {
    throw TempFileCreationException(StatusDetail(static_cast<std::int32_t>(0x80070005u)));
  } catch (const WorkbookStreamOpenException&) {
    FAIL() << "wrong base";
  } catch (const IOException& e) {
    EXPECT_EQ(e.fullMessage(), L"Temporary file creation failed [HRESULT(80070005) - " +
                                   SystemText(5, L"Access is denied.") + L"]");
  }
  try {
    throw WorkbookStreamOpenSharingViolationException(MessageDetail(L"x"));
  } catch (const WorkbookStreamOpenException& e) {
    EXPECT_EQ(e.description(), L"Sharing violation opening workbook stream");
  }
}

// Generic code catches the family with every other failure; the driver maps
// each class to its code, a base or unnamed class to Malformed.
TEST(ErrorModel, ClassesAreStdExceptionsAndMapToTheirCodes) {
  try {
    throw PasswordProtectedWorkbookException();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "bookmender::Exception");
    ASSERT_NE(dynamic_cast<const Exception*>(&e), nullptr);
    EXPECT_EQ(dynamic_cast<const Exception&>(e).fullMessage(), L"Workbook stream is password protected");
  }
  const std::pair<ResultCode, ResultCode> cases[] = {
      {CodeOf(WorkbookStreamOpenFileNotFoundException()), FileNotFound},
      {CodeOf(WorkbookStreamOpenAccessDeniedException()), AccessDenied},
      {CodeOf(WorkbookStreamOpenSharingViolationException()), SharingViolation},
      {CodeOf(WorkbookStreamOpenNotBIFF8Exception()), NotBiff8Workbook},
      {CodeOf(PasswordProtectedWorkbookException()), PasswordProtected},
      {CodeOf(WorkbookStreamOpenException()), Malformed},
      {CodeOf(IOException()), Malformed},
      {CodeOf(TempFileCreationException()), Malformed},
      {CodeOf(Exception()), Malformed},
  };
  for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected) << (&actual - &cases[0].first);
}

TEST(ErrorModel, HResultTextOnlyWin32CodesGetSystemText) {
  EXPECT_EQ(HRESULTErrorDetail(static_cast<std::int32_t>(0x80030005u), L"reading stream").text(),
            L"HRESULT(80030005) - reading stream");
  EXPECT_EQ(HRESULTErrorDetail(static_cast<std::int32_t>(0x80070002u), L"").text(),
            L"HRESULT(80070002) - " + SystemText(2, L"The system cannot find the file specified."));
  EXPECT_EQ(HRESULTErrorDetail(static_cast<std::int32_t>(0x80070070u), L"writing stream").text(),
            L"HRESULT(80070070) - " + SystemText(112, L"There is not enough space on the disk.") +
                L" - writing stream");
  // A Win32 code without text, and small values, print without padding.
  EXPECT_EQ(HRESULTErrorDetail(static_cast<std::int32_t>(0x80070FFFu), L"").text(), L"HRESULT(80070fff)");
  EXPECT_EQ(HRESULTErrorDetail(1, L"").text(), L"HRESULT(1)");
  EXPECT_EQ(HRESULTErrorDetail(0, L"x").text(), L"HRESULT(0) - x");
}

TEST(ErrorModel, SystemErrorsConvertToHResults) {
  EXPECT_EQ(platform::HResultFromSystemError(0), 0);
  EXPECT_EQ(platform::HResultFromSystemError(-5), -5);
  EXPECT_EQ(static_cast<std::uint32_t>(platform::HResultFromSystemError(5)), 0x80070005u);
  EXPECT_EQ(static_cast<std::uint32_t>(platform::HResultFromSystemError(0x12345)), 0x80072345u);
}

TEST(ErrorModel, CopiesShareOneDetail) {
  IOException original(MessageDetail(L"kept"));
  const ErrorDetail* detail = original.detail();
  IOException copy = original;
  EXPECT_EQ(copy.detail(), detail);
  EXPECT_EQ(copy.fullMessage(), L"I/O exception [kept]");
}
