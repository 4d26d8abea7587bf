#include "onewire/VirtualReader.h"

#include "onewire/TextFile.h"

namespace onewire {
namespace {

std::optional<std::int16_t> parseCode(std::string_view text) {
    auto value = parseDecimal(text, -32768, 32767);
    return value ? std::optional(static_cast<std::int16_t>(*value)) : std::nullopt;
}

// Reading the clock costs more than a line: it is read every so many lines.
constexpr int kLinesPerClockRead = 256;

constexpr const char* kExpectedForm =
    "; line ignored (expected a token of 16 hex digits without spaces, family code first and CRC "
    "byte last, or its first 14 digits, or \"setup = N\", or \"shorted\")";

}  // namespace

VirtualReaderContents parseVirtualReader(std::string_view text, const std::string& fileName,
                                         Reporter& reporter, Clock::time_point deadline) {
    VirtualReaderContents contents;
    LineAccount account;
    int sinceClockRead = 0;
    forEachContentLine(text, [&](int lineNumber, std::string_view content, std::string_view) {
        if (!contents.complete ||
            (++sinceClockRead % kLinesPerClockRead == 0 && Clock::now() >= deadline)) {
            contents.complete = false;
            return;
        }
        auto where = [&] { return printable(fileName) + ":" + std::to_string(lineNumber) + ": "; };
        if (content == "shorted") {
            contents.shorted = true;
            return;
        }
        if (content.starts_with("setup")) {
            std::string_view rest = trim(content.substr(5));
            std::optional<std::int16_t> code;
            if (rest.starts_with("=")) {
                code = parseCode(trim(rest.substr(1)));
            }
            if (code) {
                contents.setupCode = code;
            } else {
                account.notUnderstood([&] {
                    return where() + "cannot understand " + quoted(content) + kExpectedForm;
                });
            }
            return;
        }
        auto bytes =
            (content.size() == 14 || content.size() == 16) ? parseHexBytes(content) : std::nullopt;
        if (!bytes) {
            account.notUnderstood(
                [&] { return where() + "cannot understand " + quoted(content) + kExpectedForm; });
            return;
        }
        Rom rom{};
        std::copy(bytes->begin(), bytes->end(), rom.begin());
        if (bytes->size() == 7) {
            rom[7] = crc8(rom.data(), 7);
        } else if (!isAcceptable(rom)) {
            // Still handed to the runtime, whose filter drops it, as a real bus would; the note
            // tells the person editing the file why the token never shows.
            account.neverListed([&] {
                return where() + "token " + hexText(rom) + ": " + refusalOf(rom) +
                       "; a reader never lists it";
            });
        }
        contents.tokens.push_back(rom);
    });
    // A reading cut short has not seen every line: its account would be wrong, so it keeps the
    // last one.
    if (contents.complete) {
        reporter.reportAccount("reader file " + printable(fileName), account);
    }
    return contents;
}

VirtualReader::VirtualReader(std::string fileName, Reporter& reporter)
    : fileName_(std::move(fileName)), reporter_(reporter) {}

std::optional<VirtualReaderContents> VirtualReader::read(Clock::time_point deadline) {
    std::string problem;
    auto text = readSmallFile(fileName_, kMaxTextFileSize, &problem);
    const std::string source = "reader file " + printable(fileName_);
    if (!text) {
        reporter_.reportProblem(source, problem + "; the adapter counts as not found");
        return std::nullopt;
    }
    reporter_.reportRecovery(source, "read again");
    return parseVirtualReader(*text, fileName_, reporter_, deadline);
}

std::int16_t VirtualReader::setup() {
    auto contents = read();
    if (!contents) {
        return kSetupNotFound;
    }
    if (contents->setupCode) {
        return *contents->setupCode;
    }
    return contents->shorted ? kSetupShorted : kSetupReady;
}

std::string VirtualReader::describeAdapter() {
    return "virtual reader file " + fileName_ + (read() ? "" : " (missing: no adapter)");
}

Enumeration VirtualReader::enumerate(Clock::time_point deadline) {
    auto contents = read(deadline);
    if (!contents || !contents->complete) {
        return Enumeration::failed();
    }
    if (contents->shorted) {
        return Enumeration::whole({});  // a shorted bus shows no device, and that is all it shows
    }
    return Enumeration::whole(contents->tokens);
}

}  // namespace onewire
