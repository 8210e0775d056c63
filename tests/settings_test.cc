// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "daemon/settings.h"

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    char dir[] = "/tmp/mevrakt-settings-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    folder = dir;
    path = folder + "/settings";
  }
  void TearDown() override
  {
    for (mevrakt_settings &s : taken)
      mevrakt_settings_free(&s);
    unlink(path.c_str());
    rmdir(folder.c_str());
  }

  mevrakt_settings read(const std::string &text)
  {
    FILE *f = fopen(path.c_str(), "w");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    mevrakt_settings s{};
    mevrakt_settings_read(&s, path.c_str());
    taken.push_back(s);
    return s;
  }

  std::string folder, path;
  std::vector<mevrakt_settings> taken;
};

TEST_F(SettingsTest, ReadsTheSevenKeys)
{
  mevrakt_settings s = read(
      "# gateway\n"
      "MOD_MEVRAKT_ENABLED=1\n"
      "MOD_MEVRAKT_PROT1_ENABLED=1\n"
      "MOD_MEVRAKT_PROT1_DEVICE=/dev/ttyS1\n"
      "MOD_MEVRAKT_PROT1_PORT=4001\n"
      "OTHER_KEY=7\n"
      "MOD_MEVRAKT_PROT2_ENABLED=0\n"
      "MOD_MEVRAKT_PROT2_DEVICE=\"/dev/ttyUSB0\"\n"
      "MOD_MEVRAKT_PROT2_PORT=4002");
  EXPECT_EQ(s.enabled, 1u);
  EXPECT_EQ(s.channel1.enabled, 1u);
  EXPECT_STREQ(s.channel1.device, "/dev/ttyS1");
  EXPECT_EQ(s.channel1.port, 4001u);
  EXPECT_EQ(s.channel2.enabled, 0u);
  EXPECT_STREQ(s.channel2.device, "/dev/ttyUSB0");
  EXPECT_EQ(s.channel2.port, 4002u);
}

TEST_F(SettingsTest, KeysIgnoreCaseButNotBlanks)
{
  mevrakt_settings s = read(
      "mod_mevrakt_prot1_port=4001\n"
      "MOD_MEVRAKT_PROT2_PORT =4002\n"
      " MOD_MEVRAKT_PROT1_ENABLED=1\n"
      "MOD_MEVRAKT_PROT1_DEVICE= /dev/ttyS1\n");
  EXPECT_EQ(s.channel1.port, 4001u);
  EXPECT_EQ(s.channel2.port, 0u) << "a blank before '=' belongs to the key";
  EXPECT_EQ(s.channel1.enabled, 0u) << "a blank before the key belongs to it";
  EXPECT_STREQ(s.channel1.device, " /dev/ttyS1") << "a blank after '=' belongs to the value";
}

TEST_F(SettingsTest, QuotesAndDuplicates)
{
  mevrakt_settings s = read(
      "MOD_MEVRAKT_PROT1_DEVICE=\"/dev/ttyS1\"\n"
      "MOD_MEVRAKT_PROT1_DEVICE=/dev/ttyS9\n"
      "MOD_MEVRAKT_PROT2_DEVICE=\"/dev/ttyS2\n"
      "MOD_MEVRAKT_PROT1_PORT=4001\n"
      "MOD_MEVRAKT_PROT1_PORT=4009\n"
      "MOD_MEVRAKT_PROT2_PORT=\"4002\" # trailing text goes with the last quote\n");
  EXPECT_STREQ(s.channel1.device, "/dev/ttyS1") << "the first line counts";
  EXPECT_STREQ(s.channel2.device, "") << "an unclosed quote takes the value with it";
  EXPECT_EQ(s.channel1.port, 4001u);
  EXPECT_EQ(s.channel2.port, 4002u);
}

// A number is read whole or not at all: "40O1" once listened on port 40.
TEST_F(SettingsTest, Numbers)
{
  mevrakt_settings s = read(
      "MOD_MEVRAKT_ENABLED=yes\n"
      "MOD_MEVRAKT_PROT1_PORT=  +4001abc\n"
      "MOD_MEVRAKT_PROT2_PORT=99999999999\n"
      "MOD_MEVRAKT_PROT1_ENABLED=4294967295\n"
      "MOD_MEVRAKT_PROT2_ENABLED=-1\n");
  EXPECT_EQ(s.enabled, 0u);
  EXPECT_STREQ(s.bad_enabled, "yes");
  EXPECT_EQ(s.channel1.port, 0u);
  EXPECT_STREQ(s.channel1.bad_port, "  +4001abc") << "kept as written, to be named";
  EXPECT_EQ(s.channel2.port, 0u);
  EXPECT_STREQ(s.channel2.bad_port, "99999999999") << "too large for 32 bits";
  EXPECT_EQ(s.channel1.enabled, 4294967295u);
  EXPECT_EQ(s.channel1.bad_enabled, nullptr);
  EXPECT_EQ(s.channel2.enabled, 0u);
  EXPECT_STREQ(s.channel2.bad_enabled, "-1");
  EXPECT_STREQ(read("MOD_MEVRAKT_PROT1_PORT=\n").channel1.bad_port, "");
  EXPECT_EQ(read("MOD_MEVRAKT_PROT1_PORT= 4001 \n").channel1.port, 4001u) << "blanks around it are no fault";
}

TEST_F(SettingsTest, LineEndsAndLongLines)
{
  mevrakt_settings s = read(
      "MOD_MEVRAKT_PROT1_DEVICE=/dev/ttyS1\r\n"
      "MOD_MEVRAKT_PROT1_PORT=4001\r\n"
      "MOD_MEVRAKT_PROT2_DEVICE=/dev/tty\rjunk\n");
  EXPECT_STREQ(s.channel1.device, "/dev/ttyS1");
  EXPECT_EQ(s.channel1.port, 4001u);
  EXPECT_STREQ(s.channel2.device, "/dev/tty");

  // A line of more than 16383 characters is read in pieces, each a line of
  // its own: a key that starts a piece is found.
  std::string text = "X=" + std::string(16381, 'a') + "MOD_MEVRAKT_PROT1_PORT=4001\n";
  text += "Y=" + std::string(20000, 'b') + "\nMOD_MEVRAKT_PROT2_PORT=4002\n";
  s = read(text);
  EXPECT_EQ(s.channel1.port, 4001u);
  EXPECT_EQ(s.channel2.port, 4002u);
}

TEST_F(SettingsTest, MissingFileLeavesEverythingEmpty)
{
  mevrakt_settings s{};
  s.enabled = s.channel1.port = 7;
  mevrakt_settings_read(&s, (folder + "/absent").c_str());
  taken.push_back(s);
  EXPECT_EQ(s.enabled, 0u);
  EXPECT_EQ(s.channel1.enabled, 0u);
  EXPECT_EQ(s.channel1.port, 0u);
  EXPECT_EQ(s.channel2.port, 0u);
  ASSERT_NE(s.channel1.device, nullptr);
  EXPECT_STREQ(s.channel1.device, "");
  EXPECT_STREQ(s.channel2.device, "");
  EXPECT_EQ(settings_find(nullptr, "MOD_MEVRAKT_ENABLED"), nullptr);
}

}  // namespace
