// A reduced copy that cannot be stored, on a full or read-only file system: the job and its
// group fail, the older copy stays as it was and nothing half-written is left beside it. Each
// case mounts a small file system over a temporary directory inside a private mount namespace.
#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "core/file_utils.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;

TEST(ImageCopyFailure, AFullOrReadOnlyFileSystemKeepsTheOldCopyAndFailsTheGroup) {
    const struct {
        const char* name;
        const char* spoil;  // shell lines run on the mounted directory "$d" before the job
    } cases[] = {
        {"full", "dd if=/dev/zero of=\"$d/filler\" bs=4k 2>/dev/null || true\n"},
        {"read-only", "mount -o remount,ro \"$d\" || exit 98\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempDir dir;
        // The picture and the copy an older download left, staged outside the mount.
        fs::create_directories(dir / "staged" / "FHD");
        ASSERT_TRUE(cv::imwrite((dir / "staged" / "photo.png").string(),
                                cv::Mat(2000, 3000, CV_8UC3, cv::Scalar(10, 200, 30))));
        ASSERT_TRUE(cv::imwrite((dir / "staged" / "FHD" / "photo.png").string(),
                                cv::Mat(20, 30, CV_8UC3, cv::Scalar(1, 2, 3))));
        const std::string oldCopy = readFile((dir / "staged" / "FHD" / "photo.png").string());
        fs::create_directories(dir / "media");
        const std::string media = (dir / "media").string();

        const std::string script = std::string("d=\"$1\"\n") +
                                   "mount -t tmpfs -o size=256k lumetta-test-copies \"$d\" || exit 99\n"
                                   "cp -r \"$2\"/. \"$d\"/ || exit 97\n" +
                                   c.spoil +
                                   "\"$3\" \"$d/photo.png\" 1920 1080 || exit $?\n"
                                   "echo listing; ls -A \"$d/FHD\"\n"
                                   "cmp -s \"$d/FHD/photo.png\" \"$2/FHD/photo.png\" && echo 'old copy intact'\n";
        const testing::ProcessResult result = testing::runProcess(
            {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script, "sh", media,
             (dir / "staged").string(), IMAGE_JOB_PROBE});
        if (result.exitStatus == 99) GTEST_SKIP() << "no private mount namespace here";
        ASSERT_EQ(result.exitStatus, 0) << result.err;

        EXPECT_NE(result.err.find("Failed to write resized image: \"" + media + "/FHD/photo.png\"\n"),
                  std::string::npos)
            << result.err;
        EXPECT_NE(result.out.find("group failed=1\nprepared=0\n"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("listing\nphoto.png\nold copy intact\n"), std::string::npos) << result.out;
        EXPECT_FALSE(oldCopy.empty());
    }
}

}  // namespace
}  // namespace lumetta
