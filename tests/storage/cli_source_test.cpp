// The `sources` and `source` commands of the command-line program.
#include <gtest/gtest.h>

#include "tests/support/fsimage.h"
#include "tests/support/testdata.h"

namespace sorrelon {
namespace {

std::string Cli(const std::string& args, int* rc) {
  std::string out;
  *rc = test::Run(std::string("'") + SORRELON_CLI + "' " + args, &out);
  return out;
}

TEST(CliSource, ShowsTheFirstTabForAVolumeOrADisk) {
  auto dir = test::TempDir("cli_source");
  test::FatVolume fat;
  ASSERT_TRUE(fat.Create(dir / "fat.img"));
  const std::string img = "'" + fat.Image().string() + "'";
  int rc = 0;
  std::string out = Cli("source " + img, &rc);
  EXPECT_EQ(rc, 0) << out;
  const std::string data = std::to_string(fat.reservedSectors + 2 * fat.fatSectors);
  for (const std::string& line :
       {std::string("label5: FAT32\n"), "edtbegin: " + data + "\n",
        "edtend: " + std::to_string(fat.reservedSectors + 2 * fat.fatSectors + fat.volumeSectors) + "\n",
        std::string("chkfreespace: checked, enabled\n"), std::string("hasFileSystem: true\n")})
    EXPECT_NE(out.find(line), std::string::npos) << line << "in\n" << out;

  out = Cli("source " + img + " --disk", &rc);
  EXPECT_EQ(rc, 0) << out;
  for (const std::string& line : {std::string("edtbegin: 0\n"), "edtend: " + std::to_string(fat.volumeSectors) + "\n",
                                  std::string("edtsecs: 1\n"), std::string("chkfreespace: unchecked, disabled\n")})
    EXPECT_NE(out.find(line), std::string::npos) << line << "in\n" << out;

  out = Cli("source '" + (dir / "missing.img").string() + "' --volume", &rc);
  EXPECT_EQ(rc, 1);
  EXPECT_NE(out.find("取分区信息失败2"), std::string::npos) << out;
  EXPECT_NE(out.find("No such file"), std::string::npos) << out;

  out = Cli("sources", &rc);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("-\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace sorrelon
