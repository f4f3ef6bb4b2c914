// Reads back a Windows program's version resource and icon the way Explorer does
// (GetFileVersionInfoW, VerQueryValueW, the first icon group), one "key: value" line each.
//
//   version_info.exe FILE
//
// Exit 1 when the file has no version resource or no icon.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string utf8(const wchar_t *text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::string fourNumbers(DWORD high, DWORD low)
{
    char text[64];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", HIWORD(high), LOWORD(high), HIWORD(low), LOWORD(low));
    return text;
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved, type, count;
};
#pragma pack(pop)

BOOL CALLBACK firstName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found)
{
    *reinterpret_cast<LPWSTR *>(found) = name;
    return FALSE;
}

// The sizes held by the first icon group, the one Explorer shows for the file.
bool printIcon(const wchar_t *file)
{
    HMODULE module = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module)
        return false;
    LPWSTR name = nullptr;
    EnumResourceNamesW(module, RT_GROUP_ICON, firstName, reinterpret_cast<LONG_PTR>(&name));
    HRSRC info = name ? FindResourceW(module, name, RT_GROUP_ICON) : nullptr;
    HGLOBAL data = info ? LoadResource(module, info) : nullptr;
    const auto *header = data ? static_cast<const GroupIconHeader *>(LockResource(data)) : nullptr;
    if (!header || SizeofResource(module, info) < sizeof *header + header->count * sizeof(GroupIconEntry)) {
        FreeLibrary(module);
        return false;
    }
    const auto *entries = reinterpret_cast<const GroupIconEntry *>(header + 1);
    std::printf("IconSizes:");
    for (WORD i = 0; i < header->count; ++i)
        std::printf(" %d", entries[i].width ? entries[i].width : 256);  // 0 stands for 256
    std::printf("\n");
    const bool any = header->count > 0;
    FreeLibrary(module);  // header lives in the module
    return any;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: version_info FILE\n");
        return 2;
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
    std::vector<unsigned char> block(size);
    if (size == 0 || !GetFileVersionInfoW(argv[1], 0, size, block.data())) {
        std::fprintf(stderr, "version_info: %s has no version resource (error %lu)\n", utf8(argv[1]).c_str(),
                     GetLastError());
        return 1;
    }
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) || !fixed
        || fixed->dwSignature != 0xFEEF04BD) {
        std::fprintf(stderr, "version_info: no fixed file information\n");
        return 1;
    }
    std::printf("FixedFileVersion: %s\n", fourNumbers(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str());
    std::printf("FixedProductVersion: %s\n",
                fourNumbers(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str());

    // The strings in the first language the resource names, as Explorer picks them.
    struct Translation {
        WORD language, codePage;
    } *translations = nullptr;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translations),
                        &length)
        || length < sizeof(Translation)) {
        std::fprintf(stderr, "version_info: no translation table\n");
        return 1;
    }
    std::printf("Translation: %04x %u\n", translations[0].language, translations[0].codePage);
    for (const wchar_t *key : {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName", L"LegalCopyright",
                               L"OriginalFilename", L"ProductName", L"ProductVersion"}) {
        wchar_t path[128];
        swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translations[0].language, translations[0].codePage,
                 key);
        wchar_t *value = nullptr;
        if (VerQueryValueW(block.data(), path, reinterpret_cast<void **>(&value), &length) && value && length > 0)
            std::printf("%s: %s\n", utf8(key).c_str(), utf8(value).c_str());
    }
    if (!printIcon(argv[1])) {
        std::fprintf(stderr, "version_info: %s has no icon\n", utf8(argv[1]).c_str());
        return 1;
    }
    return 0;
}
