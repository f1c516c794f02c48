// Reads what the platform sees of the built quorvel.exe before it runs a line of it: a
// 64-bit console program that needs no DLL beyond the system's own.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

#ifdef _MSC_VER
// The static run-time is part of the program.
const std::vector<std::string> kSystemImports = {"KERNEL32.DLL"};
#else
// MinGW-w64's run-time calls the system's msvcrt.dll.
const std::vector<std::string> kSystemImports = {"KERNEL32.DLL", "MSVCRT.DLL"};
#endif

struct ImageShape {
    bool read = false;
    WORD machine = 0;
    WORD magic = 0;
    WORD subsystem = 0;
    std::vector<std::string> imports;  // upper case, sorted
};

template <typename Record>
bool read_at(const std::string& image, size_t at, Record* record) {
    if (at > image.size() || image.size() - at < sizeof(Record)) {
        return false;
    }
    std::memcpy(record, image.data() + at, sizeof(Record));
    return true;
}

// Where an address of the loaded image lies in the file; npos if no section holds it.
size_t file_offset(const std::vector<IMAGE_SECTION_HEADER>& sections, DWORD address) {
    for (const IMAGE_SECTION_HEADER& section : sections) {
        if (address >= section.VirtualAddress &&
            address - section.VirtualAddress < section.SizeOfRawData) {
            return section.PointerToRawData + (address - section.VirtualAddress);
        }
    }
    return std::string::npos;
}

// The names of the DLLs in the import directory, read from the file as the loader would.
bool read_imports(const std::string& image, const std::vector<IMAGE_SECTION_HEADER>& sections,
                  DWORD directory, std::vector<std::string>* imports) {
    IMAGE_IMPORT_DESCRIPTOR entry{};
    for (size_t at = file_offset(sections, directory);
         read_at(image, at, &entry) && entry.Name != 0; at += sizeof(entry)) {
        const size_t name = file_offset(sections, entry.Name);
        if (name >= image.size()) {
            return false;
        }
        std::string dll = image.c_str() + name;
        std::transform(dll.begin(), dll.end(), dll.begin(), [](char c) {
            return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        });
        imports->push_back(dll);
    }
    std::sort(imports->begin(), imports->end());
    return entry.Name == 0;
}

ImageShape read_shape(const std::wstring& path) {
    ImageShape shape;
    const std::string image = read_file(path);
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS64 headers{};
    if (!read_at(image, 0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !read_at(image, static_cast<size_t>(dos.e_lfanew), &headers) ||
        headers.Signature != IMAGE_NT_SIGNATURE) {
        return shape;
    }
    shape.machine = headers.FileHeader.Machine;
    shape.magic = headers.OptionalHeader.Magic;
    shape.subsystem = headers.OptionalHeader.Subsystem;
    std::vector<IMAGE_SECTION_HEADER> sections(headers.FileHeader.NumberOfSections);
    size_t at = static_cast<size_t>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                headers.FileHeader.SizeOfOptionalHeader;
    for (IMAGE_SECTION_HEADER& section : sections) {
        if (!read_at(image, at, &section)) {
            return shape;
        }
        at += sizeof(section);
    }
    const DWORD imports =
        headers.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    shape.read = read_imports(image, sections, imports, &shape.imports);
    return shape;
}

TEST(ExecutableShapeTest, ASixtyFourBitConsoleProgramImportingOnlySystemDlls) {
    const ImageShape shape = read_shape(build_folder() + L"\\quorvel.exe");
    ASSERT_TRUE(shape.read);
    EXPECT_EQ(shape.machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(shape.magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    EXPECT_EQ(shape.subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI);
    EXPECT_EQ(shape.imports, kSystemImports);
}

}  // namespace
