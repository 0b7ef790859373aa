// Reading input files: a reader that changes hands midway (the detection of
// non-steady-state volumes hands its reader to the load) goes on where it
// stood, gzip or plain; the checksum of an input never waits on a FIFO.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/compressed_input.h"
#include "formats/file_checksum.h"
#include "formats/gzip_output.h"
#include "support/vtc_writer.h"

namespace {

// Bytes that differ from place to place, over several of the reader's 1 MB input buffers.
std::string patternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    uint32_t x = 12345;
    for (char& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<char>(x >> 24);
    }
    return bytes;
}

void writeFile(const std::string& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(CompressedInput, AReaderMovedMidwayGoesOnWhereItStood) {
    ldi::TestTempDir folder;
    // Compressible enough to make gzip members of several input buffers, not so much that one buffer holds all.
    std::string bytes = patternBytes(std::size_t{6} << 20);
    for (std::size_t i = 0; i < bytes.size(); i += 3) bytes[i] = 'a';
    writeFile(folder.path("run.nii"), bytes);
    ldi::ByteBuffer packed;
    std::string problem;
    const std::string_view whole(bytes);
    ASSERT_TRUE(ldi::gzipPieces(&whole, 1, "the test bytes", packed, problem)) << problem;
    writeFile(folder.path("run.nii.gz"), packed.view());
    writeFile(folder.path("other.nii"), "something else");

    for (const std::string name : {"run.nii", "run.nii.gz"}) {
        SCOPED_TRACE(name);
        const std::size_t split = bytes.size() / 2 + 12345;
        std::string read(bytes.size(), '\0');
        ldi::CompressedInput first;
        ASSERT_TRUE(first.open(folder.path(name), problem)) << problem;
        ASSERT_TRUE(first.read(read.data(), split, problem)) << problem;
        // Moved into a new reader, then over one that had a file of its own open.
        ldi::CompressedInput second(std::move(first));
        ldi::CompressedInput third;
        ASSERT_TRUE(third.open(folder.path("other.nii"), problem)) << problem;
        third = std::move(second);
        EXPECT_EQ(third.compressed(), name == "run.nii.gz");
        ASSERT_TRUE(third.read(read.data() + split, bytes.size() - split, problem)) << problem;
        EXPECT_TRUE(read == bytes);
        EXPECT_TRUE(third.finish(problem)) << problem;
        char beyond = 0;
        EXPECT_FALSE(third.read(&beyond, 1, problem));
    }
}

TEST(FileChecksum, TheKnownDigestAndAFifoRefusedAtOnce) {
    ldi::TestTempDir folder;
    writeFile(folder.path("abc.txt"), "abc");
    std::string hex, problem;
    ASSERT_TRUE(ldi::fileSha256(folder.path("abc.txt"), hex, problem)) << problem;
    // FIPS 180-2's example.
    EXPECT_EQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_FALSE(ldi::fileSha256(folder.path("missing.txt"), hex, problem));
    EXPECT_NE(problem.find("missing.txt"), std::string::npos) << problem;

    // With no writer a FIFO's open would wait for ever: the checksum is made
    // on a thread of its own beside the analysis, which would never end.
    const std::string fifo = folder.path("run.nii");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string fifoProblem;
    auto made = std::async(std::launch::async, [&] {
        std::string ignored;
        return ldi::fileSha256(fifo, ignored, fifoProblem);
    });
    if (made.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // lets the blocked open go on
        if (writer >= 0) ::close(writer);
        FAIL() << "the checksum of a FIFO waited for a writer";
    }
    EXPECT_FALSE(made.get());
    EXPECT_NE(fifoProblem.find("not a regular file"), std::string::npos) << fifoProblem;
    EXPECT_NE(fifoProblem.find(fifo), std::string::npos) << fifoProblem;
}

}  // namespace
