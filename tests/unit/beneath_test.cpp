// The text forms of a scan's hand-over: a file's identity, and which part of
// a path lies below the folder searched.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/beneath.h"

namespace {

TEST(Beneath, IdentityTextRoundTripsAndRejectsAnythingElse) {
  platform::FileIdentity id;
  ASSERT_TRUE(platform::ParseIdentity(L"64769:18446744073709551615", id));
  EXPECT_EQ(id.device, 64769u);
  EXPECT_EQ(id.file, 18446744073709551615u);
  EXPECT_EQ(platform::FormatIdentity(id), L"64769:18446744073709551615");
  for (const std::wstring bad : {L"", L":", L"1:", L":2", L"1:2:3", L"1:18446744073709551616", L"-1:2", L"1 :2",
                                 L"0x1:2", L"1:2 "}) {
    EXPECT_FALSE(platform::ParseIdentity(bad, id)) << bad;
  }
}

TEST(Beneath, BelowRootIsAPrefixEndingAtASeparator) {
  struct Case {
    const wchar_t* root;
    const wchar_t* path;
    std::optional<std::wstring> below;
  };
  const Case cases[] = {
      {L"/srv/share", L"/srv/share/u/f.xls", L"u/f.xls"},
      {L"/srv/share/", L"/srv/share/u/f.xls", L"u/f.xls"},
      {L"/", L"/f.xls", L"f.xls"},
      {L".", L"f.xls", L"f.xls"},
      {L".", L"./f.xls", L"f.xls"},
      {L"share", L"share//f.xls", L"f.xls"},
      {L"/srv/share", L"/srv/shared/f.xls", std::nullopt},
      {L"/srv/share", L"/srv/share", std::nullopt},
      {L"/srv/share", L"/srv/share/", std::nullopt},
      {L"/srv/share", L"/other/f.xls", std::nullopt},
      {L"", L"f.xls", std::nullopt},
      {L".", L"u/f.xls", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::BelowRoot(c.root, c.path), c.below) << c.root << " " << c.path;
}

}  // namespace
