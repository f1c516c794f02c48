// Reads the version record back from the built quorvel.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::wstring launcher_path() {
    return build_folder() + L"\\quorvel.exe";
}

std::vector<BYTE> version_info() {
    const std::wstring path = launcher_path();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> info(size);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, info.data())) {
        info.clear();
    }
    return info;
}

std::wstring query_string(std::vector<BYTE>& info, const std::wstring& name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring query = L"\\StringFileInfo\\040904B0\\" + name;
    if (!VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) {
        return L"<missing>";
    }
    return std::wstring(value);
}

// A raw version block is a tree of nodes: each is its length, value length, type, key,
// then its value and its children, each part aligned to four bytes.
WORD word_at(const BYTE* block, size_t at) {
    return *reinterpret_cast<const WORD*>(block + at);
}
size_t aligned(size_t at) {
    return (at + 3) & ~size_t(3);
}
std::wstring key_of(const BYTE* block, size_t node) {
    return reinterpret_cast<const wchar_t*>(block + node + 6);
}

std::vector<size_t> children_of(const BYTE* block, size_t node) {
    const size_t end = node + word_at(block, node);
    const size_t valueUnits = word_at(block, node + 2);
    const size_t valueBytes = word_at(block, node + 4) == 1 ? valueUnits * 2 : valueUnits;
    const size_t keyEnd = node + 6 + (key_of(block, node).size() + 1) * 2;
    std::vector<size_t> children;
    for (size_t child = aligned(aligned(keyEnd) + valueBytes); child < end;
         child = aligned(child + word_at(block, child))) {
        children.push_back(child);
    }
    return children;
}

std::vector<std::wstring> keys_of(const BYTE* block, const std::vector<size_t>& nodes) {
    std::vector<std::wstring> keys;
    for (size_t node : nodes) {
        keys.push_back(key_of(block, node));
    }
    return keys;
}

TEST(VersionRecordTest, FixedPartHoldsVersionAndNothingElse) {
    std::vector<BYTE> info = version_info();
    ASSERT_FALSE(info.empty());
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00110007u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00110007u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, 0x4u);
    EXPECT_EQ(fixed->dwFileType, 0u);
    EXPECT_EQ(fixed->dwFileSubtype, 0u);
    EXPECT_EQ(fixed->dwFileDateMS, 0u);
    EXPECT_EQ(fixed->dwFileDateLS, 0u);

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 0x04B0);
}

TEST(VersionRecordTest, OneStringTableWithExactlyFiveStrings) {
    std::vector<BYTE> info = version_info();
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(query_string(info, L"FileDescription"), L"QUORVEL.EXE");
    EXPECT_EQ(query_string(info, L"FileVersion"), L"17.07");
    EXPECT_EQ(query_string(info, L"ProductName"), L"Quorvel");
    EXPECT_EQ(query_string(info, L"ProductVersion"), L"17.07");
    EXPECT_NE(query_string(info, L"LegalCopyright").find(L"Quorvel"), std::wstring::npos);

    const BYTE* block = info.data();
    const std::vector<size_t> root = children_of(block, 0);
    ASSERT_EQ(keys_of(block, root), (std::vector<std::wstring>{L"StringFileInfo", L"VarFileInfo"}));
    const std::vector<size_t> tables = children_of(block, root[0]);
    ASSERT_EQ(keys_of(block, tables), std::vector<std::wstring>{L"040904B0"});
    EXPECT_EQ(keys_of(block, children_of(block, tables[0])),
              (std::vector<std::wstring>{L"FileDescription", L"FileVersion", L"LegalCopyright",
                                         L"ProductName", L"ProductVersion"}));
}

BOOL CALLBACK collect_type(HMODULE, LPWSTR type, LONG_PTR types) {
    reinterpret_cast<std::vector<ULONG_PTR>*>(types)->push_back(reinterpret_cast<ULONG_PTR>(type));
    return TRUE;
}

TEST(VersionRecordTest, TheVersionRecordIsTheOnlyResource) {
    HMODULE image = LoadLibraryExW(launcher_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    std::vector<ULONG_PTR> types;
    EnumResourceTypesW(image, collect_type, reinterpret_cast<LONG_PTR>(&types));
    FreeLibrary(image);
    // No manifest (24), no icon (3, 14): the version record (16) alone. Linkers add a
    // manifest of their own on some toolchains (MSVC's by default, MSYS2's GCC through
    // default-manifest.o); the build turns both off.
    EXPECT_EQ(types, std::vector<ULONG_PTR>{16});
}

}  // namespace
