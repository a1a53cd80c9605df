// Every command of the command line, run against a volume image that held a
// deleted database file, leaves the image's bytes and modification time as
// they were; where strace is installed, no command opens it for writing. A
// whole recovery through the core holds the image open for reading only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "session/session.h"
#include "tests/support/fake_person.h"
#include "tests/support/fsimage.h"
#include "tests/support/recovery.h"
#include "tests/support/testdata.h"
#include "tools/mdfgen/mdfgen.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;

std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }

// Lines of an strace log that open `image` with any write access, create or
// truncate it.
std::vector<std::string> WritingOpens(const fs::path& trace, const fs::path& image) {
  std::vector<std::string> out;
  std::ifstream in(trace);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(image.string()) == std::string::npos) continue;
    if (line.find("O_WRONLY") != std::string::npos || line.find("O_RDWR") != std::string::npos ||
        line.find("O_CREAT") != std::string::npos || line.find("O_TRUNC") != std::string::npos ||
        line.find("truncate(") != std::string::npos)
      out.push_back(line);
  }
  return out;
}

TEST(ReadOnlyCommands, NoCommandChangesTheSource) {
  if (!test::RequireTools({"mkfs.vfat", "mcopy", "mdel"})) return;
  const fs::path dir = test::TempDir("cli_read_only");
  const fs::path image = dir / "vol.img";
  mdfgen::Options o;
  o.pages = 400;
  ASSERT_TRUE(mdfgen::WriteFile(dir / "db.mdf", o));
  test::FatVolume fat;
  test::FatOptions fo;
  fo.sectorsPerCluster = 1;  // the smallest FAT32 volume (about 33 MB)
  ASSERT_TRUE(fat.Create(image, fo));
  ASSERT_TRUE(fat.CopyInFragmented(dir / "db.mdf", "DB.MDF", 3));
  ASSERT_TRUE(fat.Delete("DB.MDF"));
  const test::FileSnapshot before = test::TakeSnapshot(image);
  ASSERT_FALSE(before.sha.empty());

  const std::string cli = SORRELON_CLI, img = Q(image);
  const fs::path sif = dir / "s.sif", spc = dir / "s.spc";
  fs::create_directories(dir / "pieces");
  struct Step {
    std::string args;
    bool mustSucceed = true;
  } steps[] = {
      {"sources"},
      {"source " + img},
      {"source " + img + " --volume"},
      {"source " + img + " --disk"},
      {"scan " + img + " -q"},
      {"scan " + img + " -q --disk --step 1"},
      {"scan " + img + " -q --save " + Q(sif) + " --content " + Q(spc)},
      {"recover " + img + " -q -o " + Q(dir / "a.mdf") + " --report " + Q(dir / "a.json")},
      {"recover " + img + " -q --all-space -o " + Q(dir / "b.mdf")},
      {"recover --scan-info " + Q(sif) + " " + img + " -q -o " + Q(dir / "c.mdf")},
      {"recover --scan-info " + Q(sif) + " --content " + Q(spc) + " -q -o " + Q(dir / "d.mdf")},
      {"export " + img + " -q --fragments all --combined " + Q(dir / "all.bin")},
      {"export " + img + " -q --fragments all --per-fragment " + Q(dir / "pieces")},
      {"export --scan-info " + Q(sif) + " " + img + " -q --fragments all --combined " + Q(dir / "saved.bin")},
      {"compare " + img + " " + Q(dir / "a.mdf"), false},
      {"compare " + Q(dir / "a.mdf") + " " + img, false},
  };
  const bool traced = test::Run("command -v strace >/dev/null") == 0;
  if (!traced) std::cerr << "strace not installed: opens of the source are not traced\n";
  for (const Step& s : steps) {
    SCOPED_TRACE(s.args);
    std::string out;
    const int rc = test::Run(cli + " " + s.args, &out);
    if (s.mustSucceed) {
      EXPECT_EQ(rc, 0) << out;
    }
    if (traced) {
      // Again under strace. LeakSanitizer cannot run under ptrace, so a
      // sanitizer build's leak check (done in the run above) is off here.
      const fs::path trace = dir / "trace.txt";
      test::Run("ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" strace -f -qq --seccomp-bpf "
                "-e trace=open,openat,creat,truncate,ftruncate -o " + Q(trace) + " " + cli + " " + s.args,
                &out);
      EXPECT_EQ(WritingOpens(trace, image), std::vector<std::string>{}) << out;
    }
    EXPECT_TRUE(test::TakeSnapshot(image) == before) << "the source changed";
  }
  EXPECT_EQ(test::ReadFileBytes(dir / "a.mdf"), test::ReadFileBytes(dir / "db.mdf"));

  // The same road through the core: the source stays open for reading only.
  Session session;
  test::FakePerson person;
  test::RecoverOptions ro;
  ro.volume = true;
  test::Recovery r = test::RecoverImage(session, person, image, dir / "core.mdf", ro);
  EXPECT_TRUE(r.written.complete);
  const std::vector<int> modes = test::OpenAccessModes(image);
  ASSERT_FALSE(modes.empty()) << "the session holds its source open";
  for (int m : modes) EXPECT_EQ(m, O_RDONLY);
  EXPECT_TRUE(test::TakeSnapshot(image) == before) << "the source changed";
}

}  // namespace
}  // namespace sorrelon
