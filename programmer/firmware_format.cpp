#include "firmware_format.h"

#include "elf_image.h"
#include "srec_image.h"
#include "status.h"

namespace vbprog {

namespace {

// Text has no control bytes but tab, line ends, form feed and a DOS end-of-file mark; every
// firmware image has some (its vector table alone holds 0x00 and 0x08 bytes).
bool readsAsText(std::string_view bytes)
{
    if (bytes.empty())
        return false;   // refused as an empty file instead
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && u != 0x1A) || u == 0x7F)
            return false;
    }
    return true;
}

Result<FirmwareImage> parseAs(FileFormat format, std::string_view content, uint32_t binAddress)
{
    switch (format) {
    case FileFormat::Elf: return parseElf(content);
    case FileFormat::IntelHex: return parseIntelHex(content);
    case FileFormat::SRecord: return parseSRecords(content);
    default: return loadBinary(content, binAddress);
    }
}

}  // namespace

FileFormat formatOfContent(std::string_view bytes)
{
    if (bytes.compare(0, 4, "\x7F" "ELF") == 0)
        return FileFormat::Elf;
    size_t i = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (i < bytes.size() && (bytes[i] == '\n' || bytes[i] == '\r'))
        ++i;
    if (i < bytes.size() && bytes[i] == ':')
        return FileFormat::IntelHex;
    if (i + 1 < bytes.size() && bytes[i] == 'S' && bytes[i + 1] >= '0' && bytes[i + 1] <= '9')
        return FileFormat::SRecord;
    return FileFormat::Binary;
}

const char* formatName(FileFormat format)
{
    switch (format) {
    case FileFormat::Elf: return "ELF";
    case FileFormat::IntelHex: return "Intel HEX";
    case FileFormat::SRecord: return "Motorola S-records";
    case FileFormat::Binary: return "binary";
    case FileFormat::Unsupported: break;
    }
    return "unsupported";
}

Result<FirmwareRead> parseFirmware(std::string_view content, std::string_view fileName, uint32_t binAddress)
{
    const std::string name(fileName);
    FileFormat format = formatOfContent(content);
    if (format == FileFormat::Binary) {
        const FileFormat claimed = fileFormatOf(fileName);
        if (claimed == FileFormat::Elf || claimed == FileFormat::IntelHex || claimed == FileFormat::SRecord)
            format = claimed;
        else if (claimed != FileFormat::Binary && readsAsText(content))
            return failure(kFileInvalid, "Unsupported file type of " + name +
                                             ": it is text, but neither Intel HEX nor Motorola S-records; ELF, Intel "
                                             "HEX, S-record and binary (.bin) files can be downloaded");
    }
    Result<FirmwareImage> parsed = parseAs(format, content, binAddress);
    if (!parsed) {
        SessionError e = parsed.error();
        e.what = name + ": " + e.what;
        return e;
    }
    return FirmwareRead{format, std::move(parsed).value()};
}

}  // namespace vbprog
