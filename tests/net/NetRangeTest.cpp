// Parsing of the listen address and the allow list, and which peers a list lets in.
#include <gtest/gtest.h>

#include <string>

#include "net/NetRange.h"

namespace kassiro {
namespace {

TIpAddress Ip(const char* text) {
  const auto a = ParseIpAddress(text);
  EXPECT_TRUE(a.has_value()) << text;
  return a.value_or(TIpAddress{});
}

TEST(NetRangeTest, ListenAddressAcceptsIpLiteralsOnly) {
  struct Case {
    const char* Text;
    bool Good;
    const char* Canonical;  // "" for the default (every IPv4 address)
  };
  const Case cases[] = {
      {"", true, ""},
      {"  ", true, ""},
      {"127.0.0.1", true, "127.0.0.1"},
      {" 192.168.1.10 ", true, "192.168.1.10"},
      {"::1", true, "::1"},
      {"[::1]", true, "::1"},
      {"FE80:0:0::1", true, "fe80::1"},
      {"::", true, "::"},
      {"::ffff:10.1.2.3", true, "10.1.2.3"},
      {"localhost", false, ""},
      {"127.0.0.1:4999", false, ""},
      {"256.1.1.1", false, ""},
      {"1.2.3", false, ""},
      {"01.2.3.4", false, ""},
      {"10.0.0.0/8", false, ""},
      {"1:2:3:4:5:6:7:8:9", false, ""},
      {"[::1", false, ""},
      {"fe80::1%eth0", false, ""},
  };
  for (const auto& c : cases) {
    const auto r = ParseListenAddress(c.Text);
    ASSERT_EQ(r.Value.has_value(), c.Good) << '"' << c.Text << "\": " << r.Error;
    if (!c.Good) {
      EXPECT_NE(r.Error.find("is not an IPv4 or IPv6 address"), std::string::npos) << r.Error;
      continue;
    }
    EXPECT_EQ(*r.Value ? IpText(**r.Value) : "", c.Canonical) << c.Text;
  }
}

TEST(NetRangeTest, AllowListParsesAndNormalises) {
  struct Case {
    const char* Text;
    const char* Canonical;  // nullptr: refused
  };
  const Case cases[] = {
      {"", ""},
      {"192.168.1.0/24", "192.168.1.0/24"},
      {"192.168.1.7/24", "192.168.1.0/24"},  // host bits cleared
      {" 10.0.0.5 , 172.16.0.0/12 ", "10.0.0.5,172.16.0.0/12"},
      {"10.0.0.5/32", "10.0.0.5"},
      {"0.0.0.0/0", "0.0.0.0/0"},
      {"10.1.2.3/9", "10.0.0.0/9"},
      {"2001:db8::/32,::1", "2001:db8::/32,::1"},
      {"2001:db8:ffff::1/33", "2001:db8:8000::/33"},
      {"[fd00::]/8", "fd00::/8"},
      {"::/0", "::/0"},
      {"10.0.0.0/33", nullptr},
      {"10.0.0.0/-1", nullptr},
      {"10.0.0.0/", nullptr},
      {"10.0.0.0/8x", nullptr},
      {"10.0.0.0/+8", nullptr},
      {"::1/129", nullptr},
      {"10.0.0.0/8,", nullptr},
      {",10.0.0.0/8", nullptr},
      {"10.0.0.0/8,,::1", nullptr},
      {"shop-pc", nullptr},
      {"10.0.0.0-10.0.0.9", nullptr},
      {"10.0.0.0/8;192.168.0.0/16", nullptr},
  };
  for (const auto& c : cases) {
    const auto r = TAllowList::Parse(c.Text);
    if (!c.Canonical) {
      EXPECT_FALSE(r.Value.has_value()) << c.Text;
      EXPECT_FALSE(r.Error.empty()) << c.Text;
      continue;
    }
    ASSERT_TRUE(r.Value.has_value()) << '"' << c.Text << "\": " << r.Error;
    EXPECT_EQ(r.Value->Text(), c.Canonical) << c.Text;
    // The canonical text reads back as the same list.
    EXPECT_EQ(TAllowList::Parse(r.Value->Text()).Value->Text(), c.Canonical);
  }
}

TEST(NetRangeTest, AllowListMatchesPeers) {
  const auto list = TAllowList::Parse("192.168.1.0/24,10.0.0.5,2001:db8::/32,172.16.0.0/13").Value.value();
  struct Case {
    const char* Peer;
    bool Allowed;
  };
  const Case cases[] = {
      {"192.168.1.0", true},      {"192.168.1.255", true},    {"192.168.2.1", false},
      {"192.168.0.255", false},   {"10.0.0.5", true},         {"10.0.0.6", false},
      {"172.23.255.255", true},   {"172.24.0.0", false},      {"2001:db8:1::9", true},
      {"2001:db9::1", false},     {"::ffff:192.168.1.20", true},  // an IPv4 peer seen through IPv6
      {"::ffff:192.168.2.20", false}, {"::c0a8:114", false},  // IPv4-compatible is not IPv4
      {"::1", false},             {"127.0.0.1", false},
  };
  for (const auto& c : cases) EXPECT_EQ(list.Allows(Ip(c.Peer)), c.Allowed) << c.Peer;
  EXPECT_TRUE(TAllowList{}.Allows(Ip("203.0.113.9")));
  EXPECT_TRUE(TAllowList::Parse("::/0").Value->Allows(Ip("::1")));
  EXPECT_FALSE(TAllowList::Parse("::/0").Value->Allows(Ip("10.0.0.1")));
  EXPECT_TRUE(TAllowList::Parse("0.0.0.0/0").Value->Allows(Ip("::ffff:10.0.0.1")));
}

}  // namespace
}  // namespace kassiro
