// File services: file specs and the volume they name, full paths, sizes and free space.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "RecordingSession.h"

using namespace brevant_host;
using namespace host_simulator_test;

namespace {

using Files = RecordsTest;

HostString Utf16(const std::string& text) { return HostMultiByteToUtf16(text.c_str()); }

dev_t DeviceOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_dev;
}

TEST_F(Files, TheVolumeNameIsTheMountPointThatHoldsThePath) {
    ScratchDirectory scratch("volume");
    const std::string root = scratch.path.root_path().string();  // "/", "C:\\"
    const std::pair<std::string, std::string> cases[] = {  // a path, and the deepest part of it that exists
        {scratch.path.string(), scratch.path.string()}, {scratch.path.string() + "/not/yet/written.jpg", scratch.path.string()},
        {root, root}};
    for (const auto& [path, existing] : cases) {
        SCOPED_TRACE(path);
        HostFileSpec* spec = HostFileSpecNew(Utf16(path));
        char volume[260];
        std::memset(volume, 'x', sizeof volume);
        ASSERT_EQ(HostFileSpecName(spec, 2, volume), kHostErrNone);
        const std::string mount = volume;
        ASSERT_FALSE(mount.empty());
        EXPECT_EQ(existing.compare(0, mount.size(), mount), 0) << mount << " holds " << existing;
        EXPECT_EQ(DeviceOf(mount), DeviceOf(existing));
        HostFileSpecDispose(spec);
    }
}

TEST_F(Files, FileSpecNamesRefuseBadSpecsAndFaults) {
    char buffer[260] = "kept";
    HostFileSpec* spec = HostFileSpecNew(u"/some/where/frame_0001.jpg");
    EXPECT_EQ(HostFileSpecName(nullptr, 2, buffer), kHostErrBadArgument);
    EXPECT_EQ(HostFileSpecName(spec, 2, nullptr), kHostErrBadArgument);
    SetFault(HostCall::FileSpecName, 5, 0, 1);
    EXPECT_EQ(HostFileSpecName(spec, 0, buffer), 5);
    EXPECT_STREQ(buffer, "kept");
    EXPECT_EQ(HostFileSpecName(spec, 0, buffer), kHostErrNone);
    EXPECT_STREQ(buffer, "frame_0001.jpg");
    HostFileSpecDispose(spec);
    EXPECT_EQ(HostFileSpecName(spec, 2, buffer), kHostErrBadHandle);  // disposed: refused, not read
    HostFileSpecDispose(spec);
    HostFileSpecDispose(nullptr);
}

TEST_F(Files, SizesPathsAndFreeSpaceComeFromTheFileSystem) {
    ScratchDirectory scratch("sizes");
    const std::string written = scratch.path.string() + "/written.bin";
    std::ofstream(written, std::ios::binary) << std::string(1234, 'z');

    EXPECT_EQ(HostFileSize(HostFile(Utf16(written), 0)), 1234u);
    EXPECT_EQ(HostFileSize(HostFile(Utf16(scratch.path.string() + "/missing.bin"), 0)), 0u);
    EXPECT_EQ(HostFileSize(HostFile(Utf16(scratch.path.string()), 0)), 0u);  // a directory has no file size
    EXPECT_EQ(HostFileSize(HostFile(u"", 0)), 0u);

    EXPECT_EQ(Utf8(HostFileFullPath(HostFile(Utf16(scratch.path.string() + "/a/../b/./c.jpg"), 0))),
              NativePath(scratch.path.string() + "/b/c.jpg"));
    EXPECT_EQ(Utf8(HostFileFullPath(HostFile(u"", 0))), "");
    EXPECT_EQ(Utf8(HostFileFullPath(HostFile(u"relative.jpg", 0))),
              (std::filesystem::current_path() / "relative.jpg").string());

    EXPECT_GT(HostVolumeFreeSpace(Utf16(scratch.path.string())), 0u);
    // A file that does not exist yet is on the volume of its deepest existing parent.
    EXPECT_GT(HostVolumeFreeSpace(Utf16(scratch.path.string() + "/not/yet.jpg")), 0u);
    EXPECT_EQ(HostVolumeFreeSpace(u""), 0u);
}

}  // namespace
