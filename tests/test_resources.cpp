// Checks the generated pictures in resources/: the windows rely on their sizes, depths and
// palettes, so a broken regeneration must fail here rather than on screen.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes readResource(const std::string& name) {
    std::ifstream in(std::string(QUORNA_SOURCE_DIR) + "/resources/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint32_t u16(const Bytes& b, std::size_t at) {
    return b.at(at) | (b.at(at + 1) << 8);
}
std::uint32_t u32(const Bytes& b, std::size_t at) {
    return u16(b, at) | (u16(b, at + 2) << 16);
}
std::int32_t s32(const Bytes& b, std::size_t at) {
    return static_cast<std::int32_t>(u32(b, at));
}

std::uint32_t rgbAt(const Bytes& b, std::size_t quad) {  // colour-table quads are B, G, R, 0
    return (b.at(quad + 2) << 16) | (b.at(quad + 1) << 8) | b.at(quad);
}

// ---------------------------------------------------------------------------------------------
// splash.bmp

class SplashBitmap : public ::testing::Test {
protected:
    static constexpr int kWidth = 473;
    static constexpr int kHeight = 346;
    static constexpr std::size_t kPixelsAt = 14 + 40 + 16 * 4;

    void SetUp() override {
        bmp = readResource("splash.bmp");
        ASSERT_EQ(bmp.size(), 83158u);
    }

    // Pixel counts per colour, read from the packed 4-bit rows.
    std::map<std::uint32_t, long> colourCounts() const {
        const std::size_t rowBytes = ((kWidth * 4 + 31) / 32) * 4;
        std::map<std::uint32_t, long> counts;
        for (int row = 0; row < kHeight; ++row) {
            for (int x = 0; x < kWidth; ++x) {
                const std::uint8_t packed = bmp.at(kPixelsAt + row * rowBytes + x / 2);
                const int index = (x % 2 == 0) ? packed >> 4 : packed & 0x0F;
                ++counts[rgbAt(bmp, 54 + 4 * index)];
            }
        }
        return counts;
    }

    Bytes bmp;
};

TEST_F(SplashBitmap, HeadersDescribeAnUncompressedBottomUp16ColourBitmapAt96Dpi) {
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(u32(bmp, 2), 83158u);
    EXPECT_EQ(u32(bmp, 10), kPixelsAt);
    EXPECT_EQ(u32(bmp, 14), 40u);  // BITMAPINFOHEADER
    EXPECT_EQ(s32(bmp, 18), kWidth);
    EXPECT_EQ(s32(bmp, 22), kHeight);  // positive: bottom row first
    EXPECT_EQ(u16(bmp, 26), 1u);
    EXPECT_EQ(u16(bmp, 28), 4u);
    EXPECT_EQ(u32(bmp, 30), 0u);  // BI_RGB
    EXPECT_EQ(u32(bmp, 34), 240u * kHeight);
    EXPECT_EQ(s32(bmp, 38), 3780);
    EXPECT_EQ(s32(bmp, 42), 3780);
    EXPECT_TRUE(u32(bmp, 46) == 16u || u32(bmp, 46) == 0u);
}

TEST_F(SplashBitmap, ColourTableHoldsTheNamedColours) {
    std::vector<std::uint32_t> table;
    for (int i = 0; i < 16; ++i) {
        table.push_back(rgbAt(bmp, 54 + 4 * i));
        EXPECT_EQ(bmp.at(54 + 4 * i + 3), 0u) << "entry " << i;
    }
    for (std::uint32_t named : {0xFFBF00u, 0xFFD760u, 0xECBB25u, 0xFDC315u, 0xAAAAAAu, 0xFFFFFFu,
                                0x0B0801u, 0x547AA0u, 0x089F0Fu}) {
        EXPECT_NE(std::find(table.begin(), table.end(), named), table.end()) << std::hex << named;
    }
}

TEST_F(SplashBitmap, MostlyGoldWithGreyAndWhiteDetails) {
    const auto counts = colourCounts();
    const double total = static_cast<double>(kWidth) * kHeight;
    std::vector<std::pair<long, std::uint32_t>> byUse;
    for (const auto& [colour, n] : counts)
        byUse.emplace_back(n, colour);
    std::sort(byUse.rbegin(), byUse.rend());
    ASSERT_GE(byUse.size(), 4u);

    std::vector<std::uint32_t> topFour;
    long goldPixels = 0;
    for (int i = 0; i < 4; ++i) {
        topFour.push_back(byUse[i].second);
        goldPixels += byUse[i].first;
    }
    std::sort(topFour.begin(), topFour.end());
    EXPECT_EQ(topFour, (std::vector<std::uint32_t>{0xECBB25u, 0xFDC315u, 0xFFBF00u, 0xFFD760u}));
    EXPECT_GE(goldPixels / total, 0.75);
    EXPECT_LE(goldPixels / total, 0.90);

    const auto share = [&](std::uint32_t colour) {
        const auto it = counts.find(colour);
        return it == counts.end() ? 0.0 : it->second / total;
    };
    EXPECT_NEAR(share(0xAAAAAAu), 0.06, 0.025);
    EXPECT_NEAR(share(0xFFFFFFu), 0.03, 0.015);
    for (std::uint32_t detail : {0x0B0801u, 0x547AA0u, 0x089F0Fu}) {
        EXPECT_GT(share(detail), 0.0) << std::hex << detail;
        EXPECT_LT(share(detail), 0.02) << std::hex << detail;
    }
}

TEST_F(SplashBitmap, TextAreasStayFlatAndLight) {
    // The large status text and the bottom strip are drawn in black over these areas: no dark
    // pixel may sit behind them.
    const std::size_t rowBytes = 240;
    const auto colourAt = [&](int x, int y) {
        const std::uint8_t packed = bmp.at(kPixelsAt + (kHeight - 1 - y) * rowBytes + x / 2);
        return rgbAt(bmp, 54 + 4 * ((x % 2 == 0) ? packed >> 4 : packed & 0x0F));
    };
    const auto isLight = [](std::uint32_t c) {
        const int r = c >> 16, g = (c >> 8) & 0xFF, b = c & 0xFF;
        return (299 * r + 587 * g + 114 * b) / 1000 >= 170;
    };
    for (int y = 32; y < 134; ++y)
        for (int x = 16; x < 456; ++x)
            ASSERT_TRUE(isLight(colourAt(x, y))) << x << "," << y;
    for (int y = 272; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            ASSERT_TRUE(isLight(colourAt(x, y))) << x << "," << y;
}

// ---------------------------------------------------------------------------------------------
// quorna.ico

TEST(ProgramIcon, HoldsFiveBitmapImagesOfTheStatedSizesAndDepths) {
    const Bytes ico = readResource("quorna.ico");
    ASSERT_GE(ico.size(), 6u + 5 * 16);
    EXPECT_EQ(u16(ico, 0), 0u);
    EXPECT_EQ(u16(ico, 2), 1u);  // icon, not cursor
    ASSERT_EQ(u16(ico, 4), 5u);

    const std::array<std::pair<int, int>, 5> expected{
        {{16, 24}, {32, 24}, {24, 32}, {32, 32}, {48, 32}}};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("image " + std::to_string(i));
        const std::size_t entry = 6 + 16 * i;
        const int size = expected[i].first, bpp = expected[i].second;
        EXPECT_EQ(ico.at(entry), size);
        EXPECT_EQ(ico.at(entry + 1), size);
        EXPECT_EQ(u16(ico, entry + 6), static_cast<std::uint32_t>(bpp));
        const std::uint32_t length = u32(ico, entry + 8), at = u32(ico, entry + 12);
        ASSERT_LE(static_cast<std::size_t>(at) + length, ico.size());

        // BMP-style image: header with doubled height, colour rows, then the 1-bit AND mask.
        EXPECT_EQ(u32(ico, at), 40u);
        EXPECT_EQ(s32(ico, at + 4), size);
        EXPECT_EQ(s32(ico, at + 8), 2 * size);
        EXPECT_EQ(u16(ico, at + 14), static_cast<std::uint32_t>(bpp));
        EXPECT_EQ(u32(ico, at + 16), 0u);
        const std::size_t colourRow = ((size * bpp + 31) / 32) * 4;
        const std::size_t maskRow = ((size + 31) / 32) * 4;
        EXPECT_EQ(length, 40 + size * (colourRow + maskRow));

        // A round token: the corners are see-through, the centre is opaque.
        const std::size_t mask = at + 40 + size * colourRow;
        const auto masked = [&](int x, int row) {
            return (ico.at(mask + row * maskRow + x / 8) & (0x80 >> (x % 8))) != 0;
        };
        EXPECT_TRUE(masked(0, 0));
        EXPECT_TRUE(masked(size - 1, size - 1));
        EXPECT_FALSE(masked(size / 2, size / 2));
        if (bpp == 32) {
            const auto alpha = [&](int x, int row) {
                return ico.at(at + 40 + row * colourRow + 4 * x + 3);
            };
            EXPECT_EQ(alpha(0, 0), 0);
            EXPECT_EQ(alpha(size / 2, size / 2), 255);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// reader.gif

// Decodes one image's LZW data (already joined from its sub-blocks) into palette indices.
Bytes lzwDecode(const Bytes& data, int minCodeSize, std::size_t limit) {
    const int clear = 1 << minCodeSize, end = clear + 1;
    std::vector<Bytes> table;
    const auto reset = [&] {
        table.clear();
        for (int i = 0; i < clear + 2; ++i)
            table.push_back(Bytes{static_cast<std::uint8_t>(i)});
    };
    reset();
    int codeSize = minCodeSize + 1, previous = -1;
    std::size_t bit = 0;
    Bytes out;
    while (bit + codeSize <= data.size() * 8 && out.size() <= limit) {
        int code = 0;
        for (int i = 0; i < codeSize; ++i, ++bit)
            code |= ((data[bit / 8] >> (bit % 8)) & 1) << i;
        if (code == clear) {
            reset();
            codeSize = minCodeSize + 1;
            previous = -1;
            continue;
        }
        if (code == end)
            return out;
        Bytes entry;
        if (code < static_cast<int>(table.size())) {
            entry = table[code];
        } else if (code == static_cast<int>(table.size()) && previous >= 0) {
            entry = table[previous];
            entry.push_back(table[previous][0]);
        } else {
            ADD_FAILURE() << "invalid LZW code " << code;
            return out;
        }
        if (previous >= 0 && table.size() < 4096) {
            Bytes grown = table[previous];
            grown.push_back(entry[0]);
            table.push_back(grown);
        }
        if (table.size() == (1u << codeSize) && codeSize < 12)
            ++codeSize;
        out.insert(out.end(), entry.begin(), entry.end());
        previous = code;
    }
    ADD_FAILURE() << "LZW data ends without an end code";
    return out;
}

TEST(ReaderPicture, IsASingleFrame256ColourGifWithTransparentWhiteBackground) {
    const Bytes gif = readResource("reader.gif");
    ASSERT_GE(gif.size(), 13u + 768u);
    EXPECT_EQ(std::string(gif.begin(), gif.begin() + 6), "GIF89a");
    EXPECT_EQ(u16(gif, 6), 176u);
    EXPECT_EQ(u16(gif, 8), 381u);
    ASSERT_EQ(gif[10] & 0x80, 0x80);  // global colour table present
    ASSERT_EQ(gif[10] & 0x07, 7);     // of 2^(7+1) = 256 entries
    EXPECT_EQ(gif[11], 0);            // background index
    const std::size_t table = 13;
    EXPECT_EQ(gif[table], 0xFF);
    EXPECT_EQ(gif[table + 1], 0xFF);
    EXPECT_EQ(gif[table + 2], 0xFF);

    int images = 0, transparentIndex = -1;
    bool looping = false;
    Bytes pixels;
    std::size_t at = table + 768;
    const auto skipSubBlocks = [&](Bytes* joined) {
        while (gif.at(at) != 0) {
            const std::size_t n = gif.at(at);
            if (joined)
                joined->insert(joined->end(), gif.begin() + at + 1, gif.begin() + at + 1 + n);
            at += 1 + n;
        }
        ++at;
    };
    while (at < gif.size() && gif[at] != 0x3B) {
        if (gif[at] == 0x21) {
            const std::uint8_t label = gif.at(at + 1);
            if (label == 0xF9) {
                ASSERT_EQ(gif.at(at + 2), 4);
                if (gif.at(at + 3) & 0x01)
                    transparentIndex = gif.at(at + 6);
            }
            if (label == 0xFF &&
                std::string(gif.begin() + at + 3, gif.begin() + at + 11) == "NETSCAPE")
                looping = true;
            at += 2;
            skipSubBlocks(nullptr);
        } else {
            ASSERT_EQ(gif[at], 0x2C) << "unexpected block at " << at;
            ++images;
            EXPECT_EQ(u16(gif, at + 1), 0u);
            EXPECT_EQ(u16(gif, at + 3), 0u);
            EXPECT_EQ(u16(gif, at + 5), 176u);
            EXPECT_EQ(u16(gif, at + 7), 381u);
            EXPECT_EQ(gif.at(at + 9) & 0x80, 0);  // no local table: the global one applies
            const int minCodeSize = gif.at(at + 10);
            at += 11;
            Bytes data;
            skipSubBlocks(&data);
            pixels = lzwDecode(data, minCodeSize, 176u * 381u);
        }
    }
    ASSERT_LT(at, gif.size());  // reached the trailer
    EXPECT_EQ(images, 1);
    EXPECT_FALSE(looping);
    EXPECT_EQ(transparentIndex, 0);

    // The pixels decode completely; the margins are see-through and the reader is drawn.
    ASSERT_EQ(pixels.size(), 176u * 381u);
    EXPECT_EQ(pixels.front(), 0);
    EXPECT_EQ(pixels.back(), 0);
    const auto drawn = std::count_if(pixels.begin(), pixels.end(), [](auto p) { return p != 0; });
    EXPECT_GT(drawn, static_cast<long>(pixels.size() / 5));
    EXPECT_LT(drawn, static_cast<long>(pixels.size() * 3 / 4));
}

}  // namespace
