#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <new>
#include <string>

#include "File.h"
#include "FrameSize.h"
#include "Options.h"
#include "quib/List.h"
#include "quib/String.h"

using Quib::Exception;
using Quib::List;
using Quib::String;

// Runs f, expecting a Quib::Exception with exactly this message, file and line.
template <typename F>
static void expectThrows(F f, const char* message, const char* file, int line) {
    try {
        f();
        ADD_FAILURE() << "no exception, expected " << message;
    } catch (const Exception& e) {
        EXPECT_STREQ(e.getMessage().cStr(), message);
        EXPECT_STREQ(e.getFile().cStr(), file);
        EXPECT_EQ(e.getLine(), line);
    }
}

TEST(String, TheTwoEmptyFormsBehaveDifferently) {
    String null;
    EXPECT_EQ(null.length(), 0);
    EXPECT_EQ(null.cStr(), nullptr);
    expectThrows([&] { (void)null[0]; }, "Cannot index empty string", "quib\\String", 109);

    String empty("");
    EXPECT_EQ(empty.length(), 0);
    ASSERT_NE(empty.cStr(), nullptr);
    EXPECT_EQ(empty[0], '\0');
    expectThrows([&] { (void)empty[1]; }, "Index out of bounds", "quib\\String", 110);
    expectThrows([&] { (void)empty[-1]; }, "Index out of bounds", "quib\\String", 110);

    String fromNull(static_cast<const char*>(nullptr));
    EXPECT_EQ(fromNull.body(), nullptr);
    EXPECT_EQ(fromNull.length(), 0);
}

TEST(String, IndexingReachesTheTerminatorAndNoFurther) {
    String abc("abc");
    EXPECT_EQ(abc[2], 'c');
    EXPECT_EQ(abc[3], '\0');
    expectThrows([&] { (void)abc[4]; }, "Index out of bounds", "quib\\String", 110);
}

TEST(String, CopiesShareOneBodyUntilTheLastHandleGoes) {
    String* first = new String("shared");
    String copy(*first);
    EXPECT_EQ(copy.body(), first->body());
    EXPECT_EQ(copy.refCount(), 2);
    delete first;
    EXPECT_EQ(copy.refCount(), 1);
    EXPECT_STREQ(copy.cStr(), "shared");

    String assigned;
    assigned = copy;
    EXPECT_EQ(copy.refCount(), 2);
    assigned = assigned;
    EXPECT_EQ(copy.refCount(), 2);
    assigned = String("other");
    EXPECT_EQ(copy.refCount(), 1);
}

TEST(String, ConcatenationSharesOnEmptyRightAndBuildsFreshOtherwise) {
    String abc("abc");
    String withNull = abc + String();
    EXPECT_EQ(withNull.body(), abc.body());
    String withEmpty = abc + "";
    EXPECT_EQ(withEmpty.body(), abc.body());
    EXPECT_EQ(abc.refCount(), 3);
    EXPECT_EQ(withEmpty.length(), 3);

    String fromNull = String() + "x";
    ASSERT_NE(fromNull.body(), nullptr);
    EXPECT_EQ(fromNull.body()->size, 2);
    EXPECT_EQ((String() + String()).body(), nullptr);

    String message = "GL error has occurred: " + String("invalid operation");
    EXPECT_EQ(message.length(), 40);
    EXPECT_EQ(message.body()->size, 41);
    EXPECT_EQ(message.refCount(), 1);
    EXPECT_STREQ(message.cStr(), "GL error has occurred: invalid operation");

    String emptyLeft = String("") + "z";
    EXPECT_STREQ(emptyLeft.cStr(), "z");
}

TEST(Exception, CopiesShareTheirStrings) {
    String message("boom");
    try {
        throw Exception(message, "Demo", 42);
    } catch (const Exception& e) {
        Exception copy(e);
        EXPECT_EQ(copy.getMessage().body(), message.body());
        EXPECT_EQ(copy.getLine(), 42);
        EXPECT_STREQ(copy.getFile().cStr(), "Demo");
    }
    EXPECT_EQ(message.refCount(), 1);
}

TEST(List, GrowsByEightSlotsAndChecksEveryIndex) {
    List<int> list;
    EXPECT_EQ(list.items, nullptr);
    expectThrows([&] { (void)list[0]; }, "Index out of bounds", "Quib/List", 129);
    list.add(1);
    EXPECT_EQ(list.capacity, 8);
    for (int i = 2; i <= 9; ++i)
        list.add(i);
    EXPECT_EQ(list.capacity, 16);
    EXPECT_EQ(list.count, 9);
    EXPECT_EQ(list[8], 9);
    EXPECT_EQ(list[0], 1);
    expectThrows([&] { (void)list[9]; }, "Index out of bounds", "Quib/List", 129);
    expectThrows([&] { (void)list[-1]; }, "Index out of bounds", "Quib/List", 129);
    for (int i = 10; i <= 400; ++i)
        list.add(i);
    EXPECT_EQ(list.capacity, 400);
    list.clear();
    EXPECT_EQ(list.capacity, 0);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.items, nullptr);
}

TEST(List, OfStringsSharesOnGrowthAndReleasesOnDestruction) {
    String word("word");
    {
        List<String> list;
        for (int i = 0; i < 8; ++i)
            list.add(word);
        EXPECT_EQ(word.refCount(), 9);
        list.add(word);
        EXPECT_EQ(word.refCount(), 10);  // the old array's copies are gone
        EXPECT_EQ(list.items[9].body(), nullptr);
        EXPECT_EQ(list.items[15].body(), nullptr);
    }
    EXPECT_EQ(word.refCount(), 1);
}

// An element whose construction fails on demand, as the allocation of a
// grown slot array fails when memory runs out.
struct Fragile {
    static bool failing;
    int value = 0;
    Fragile() {
        if (failing)
            throw std::bad_alloc();
    }
};
bool Fragile::failing = false;

TEST(List, FailedGrowthKeepsCountAndElements) {
    List<Fragile> list;
    Fragile item;
    for (int i = 0; i < 8; ++i) {
        item.value = i;
        list.add(item);
    }
    Fragile::failing = true;
    EXPECT_THROW(list.add(item), std::bad_alloc);
    Fragile::failing = false;
    EXPECT_EQ(list.count, 8);
    EXPECT_EQ(list.capacity, 8);
    EXPECT_EQ(list[7].value, 7);
    expectThrows([&] { (void)list[8]; }, "Index out of bounds", "Quib/List", 129);
    item.value = 8;
    list.add(item);  // and it grows again once memory is there
    EXPECT_EQ(list.count, 9);
    EXPECT_EQ(list[8].value, 8);
}

class ReadFile : public ::testing::Test {
protected:
    std::string path = ::testing::TempDir() + "velvoria_readfile.txt";
    void write(const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    void TearDown() override { std::remove(path.c_str()); }
};

TEST_F(ReadFile, MissingFileNamesThePathInQuotes) {
    expectThrows([] { readFile("Data/Blit.vert.missing"); },
                 "Could not open input file: \"Data/Blit.vert.missing\"", "src\\File", 11);

    // A FIFO would block the open until a writer came: refused at once, as
    // if it were missing.
    std::string fifo = ::testing::TempDir() + "velvoria_readfile.fifo";
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string message = "Could not open input file: \"" + fifo + "\"";
    expectThrows([&] { readFile(fifo.c_str()); }, message.c_str(), "src\\File", 11);
    std::remove(fifo.c_str());
}

TEST_F(ReadFile, ReturnsTheTextUpToTheFirstZeroByte) {
    write("");
    String empty = readFile(path.c_str());
    ASSERT_NE(empty.body(), nullptr);
    EXPECT_EQ(empty.body()->size, 1);

    write("void main() {}");
    EXPECT_STREQ(readFile(path.c_str()).cStr(), "void main() {}");

    write(std::string("ab\0cd", 5));
    EXPECT_EQ(readFile(path.c_str()).length(), 2);
}

TEST_F(ReadFile, AReadErrorAfterTheOpenGivesTheTextReadSoFar) {
    // A directory opens, then fails on the first read.
    String text = readFile(::testing::TempDir().c_str());
    ASSERT_NE(text.body(), nullptr);
    EXPECT_EQ(text.length(), 0);
}

namespace {
Options parse(std::initializer_list<const char*> words) {
    Quib::List<Quib::String> arguments;
    for (const char* word : words)
        arguments.add(Quib::String(word));
    return parseOptions(arguments);
}
}  // namespace

TEST(Options, DefaultsUnknownArgumentsEveryOptionAndBadDisplays) {
    Options plain = parse({"ignored", "--arguments", "-x"});
    EXPECT_EQ(plain.mode, Options::Mode::Fullscreen);
    EXPECT_EQ(plain.display, 0);
    EXPECT_TRUE(plain.vsync);
    EXPECT_FALSE(plain.mute || plain.help);
    EXPECT_EQ(plain.error, "");

    Options all = parse({"--windowed", "--display", "1", "--no-vsync", "--mute", "--native", "--help"});
    EXPECT_EQ(all.mode, Options::Mode::Windowed);
    EXPECT_EQ(all.display, 1);
    EXPECT_FALSE(all.vsync);
    EXPECT_TRUE(all.mute && all.help && all.native && all.error.empty());
    // Native size is for the modes that fit the picture to a window.
    EXPECT_EQ(parse({"--native"}).error, "velvoria: --native needs --windowed, --desktop or --edit");
    EXPECT_EQ(parse({"--edit", "--native"}).error, "");
    EXPECT_EQ(parse({"--windowed", "--desktop"}).mode, Options::Mode::Desktop);

    for (auto bad : {parse({"--display", "x"}), parse({"--display", "-1"}), parse({"--display"}),
                     parse({"--display", "99999999999"})})
        EXPECT_NE(bad.error.find("--display"), std::string::npos) << bad.error;

    // The sound's delay in whole milliseconds, a second at most either way.
    EXPECT_EQ(plain.audioOffset, 0);
    EXPECT_EQ(parse({"--audio-offset", "100"}).audioOffset, 100);
    EXPECT_EQ(parse({"--audio-offset", "-1000", "--edit"}).audioOffset, -1000);
    EXPECT_EQ(parse({"--audio-offset", "+1000"}).audioOffset, 1000);
    for (auto bad : {parse({"--audio-offset", "1001"}), parse({"--audio-offset", "-1001"}),
                     parse({"--audio-offset", "abc"}), parse({"--audio-offset", "12ms"}),
                     parse({"--audio-offset", "1e2"}), parse({"--audio-offset", ""}),
                     parse({"--audio-offset", " 5"}), parse({"--audio-offset", "nan"}),
                     parse({"--audio-offset", "99999999999999999999"}), parse({"--audio-offset"})})
        EXPECT_NE(bad.error.find("--audio-offset"), std::string::npos) << bad.error;
    // A long value is quoted cut short: the message stays one readable line.
    EXPECT_LT(parse({"--audio-offset", std::string(10000, '7').c_str()}).error.size(), 160u);
}

TEST(FrameSize, OnlyEven16By9SizesInRangeAndTheLargestPictureInAnArea) {
    int w = 0, h = 0;
    EXPECT_TRUE(parseFrameSize("1920x1080", w, h));
    EXPECT_EQ(w, 1920);
    EXPECT_EQ(h, 1080);
    EXPECT_TRUE(parseFrameSize("640X360", w, h));
    for (const char* bad : {"1280x720x", "+1280x720", " 1280x720", "1280x-720", "1282x721", "1280x800", "320x180",
                            "3842x2161", "99999999999999999999x1080", "1920x99999999999999999999", "x720", ""}) {
        EXPECT_FALSE(parseFrameSize(bad, w, h)) << bad;
        EXPECT_EQ(w, 640) << bad;
    }
    fitFrame(2560, 1600, 1, w, h);
    EXPECT_EQ(w * 1000 + h, 2560 * 1000 + 1440);
    fitFrame(1000, 2000, 1, w, h);  // as wide as the area, rounded to the nearest pixel
    EXPECT_EQ(w * 1000 + h, 999 * 1000 + 562);
    fitFrame(7680, 4320, 1, w, h);
    EXPECT_EQ(w * 1000 + h, 3840 * 1000 + 2160);
    fitFrame(100, 100, 360, w, h);
    EXPECT_EQ(w * 1000 + h, 640 * 1000 + 360);
}
