#include "test_support.h"

#include <cstdio>
#include <cstdlib>

#include "output_start.h"
#include "utf8.h"

namespace {

// Puts this test program into a job of its own that ends every process in it when its last
// handle goes. What a test starts joins the job at its start, and so does what that starts,
// so a launcher or child left running ends with the program however it ends: a failed test,
// an abort, or ctest killing it on time-out. ctest kills only the program and its Linux
// children; Wine starts each Windows process in a Linux session of its own, out of that
// reach, but its server closes a killed program's handles, and so ends the job. The job
// allows no breakaway. A test child that puts itself into a job of its own nests that job in
// this one (Windows 8 and later, and Wine): this job's end reaches the child too, while the
// child's end reaches only what is in its own job. The handle is never inherited and never
// closed: it goes when the program ends.
HANDLE join_kill_on_close_job() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == nullptr ||
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits)) ||
        !AssignProcessToJobObject(job, GetCurrentProcess())) {
        fprintf(stderr,
                "the tests cannot join a job of their own (error %lu): a process a "
                "failing test starts may outlive it\n",
                GetLastError());
    }
    return job;
}

[[maybe_unused]] const HANDLE kTestJob = join_kill_on_close_job();

}  // namespace

std::wstring build_folder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

const std::string kBanner = std::string("Quorvel / ") + __DATE__ + "\r\n";

std::string started(const std::string& argument) {
    return "run [" + argument + "]...ok\r\n";
}

std::string failed(const std::string& argument) {
    return "run [" + argument + "]...error\r\n";
}

std::string ended(const std::string& argument) {
    return "exit [" + argument + "]\r\n";
}

std::vector<std::string> lines_of(const std::string& output) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = output.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(output.substr(start, end - start + 2));
    }
    return lines;
}

std::string read_file(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string content;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        content.append(chunk, got);
    }
    CloseHandle(file);
    return content;
}

bool file_exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring quote_argument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them.
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    quoted += L'"';
    return quoted;
}

ScratchFolder::ScratchFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static unsigned serial = 0;
    for (;;) {
        path = std::wstring(temp) + L"quorvel-test-" + std::to_wstring(GetCurrentProcessId()) +
               L"-" + std::to_wstring(++serial);
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            break;
        }
    }
    CopyFileW((build_folder() + L"\\test_child.exe").c_str(), file(L"test_child.exe").c_str(),
              FALSE);
}

namespace {

void remove_folder(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            const std::wstring inside = folder + L"\\" + name;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                DeleteFileW(inside.c_str());
            } else if (name != L"." && name != L"..") {
                remove_folder(inside);
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

ScratchFolder::~ScratchFolder() {
    remove_folder(path);
}

NamedEvent::NamedEvent() {
    static unsigned serial = 0;
    name = L"quorvel-test-event-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++serial);
    handle = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
}

NamedEvent::~NamedEvent() {
    CloseHandle(handle);
}

HANDLE start_test_child(const ScratchFolder& folder, const std::wstring& arguments, DWORD access) {
    const std::wstring program = folder.file(L"test_child.exe");
    std::wstring commandLine = L"test_child.exe " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW, nullptr, folder.path.c_str(), &startup, &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    HANDLE limited = nullptr;
    DuplicateHandle(GetCurrentProcess(), process.hProcess, GetCurrentProcess(), &limited, access,
                    FALSE, 0);
    CloseHandle(process.hProcess);
    return limited;
}

LauncherRun start_launcher(const std::vector<std::wstring>& arguments, const ScratchFolder& folder,
                           DWORD extraFlags) {
    std::wstring commandTail;
    for (const std::wstring& argument : arguments) {
        commandTail += (commandTail.empty() ? L"" : L" ") + quote_argument(argument);
    }
    return start_launcher_with(commandTail, folder, extraFlags);
}

LauncherRun start_launcher_with(const std::wstring& commandTail, const ScratchFolder& folder,
                                DWORD extraFlags) {
    LauncherRun run;
    run.outputPath = folder.file(L"launcher-output.bin");
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE output =
        CreateFileW(run.outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::wstring commandLine = L"quorvel.exe";
    if (!commandTail.empty()) {
        commandLine += L" " + commandTail;
    }
    const std::wstring launcher = build_folder() + L"\\quorvel.exe";
    PROCESS_INFORMATION process{};
    if (start_with_output(launcher.c_str(), commandLine.data(), folder.path.c_str(), output,
                          extraFlags, &process)) {
        run.process = process.hProcess;
        run.thread = process.hThread;
    }
    CloseHandle(output);
    return run;
}

LauncherResult finish_launcher(LauncherRun& run) {
    LauncherResult result;
    if (run.process == nullptr) {
        return result;
    }
    result.finished = WaitForSingleObject(run.process, 60000) == WAIT_OBJECT_0;
    GetExitCodeProcess(run.process, &result.exitCode);
    CloseHandle(run.process);
    CloseHandle(run.thread);
    run.process = run.thread = nullptr;
    result.output = read_file(run.outputPath);
    return result;
}

bool wait_for_output_lines(const LauncherRun& run, size_t lineCount, DWORD timeoutMs) {
    return wait_until(timeoutMs,
                      [&] { return lines_of(read_file(run.outputPath)).size() >= lineCount; });
}

LauncherResult run_launcher(const std::vector<std::wstring>& arguments,
                            const ScratchFolder& folder) {
    LauncherRun run = start_launcher(arguments, folder);
    return finish_launcher(run);
}

std::multimap<std::string, std::string> read_record(const std::wstring& path) {
    std::multimap<std::string, std::string> entries;
    const std::string content = read_file(path);
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            break;  // a line still being written
        }
        const std::string line = content.substr(start, end - start);
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            entries.emplace(line.substr(0, equals), line.substr(equals + 1));
        }
        start = end + 1;
    }
    return entries;
}

std::vector<std::string> record_values(const std::wstring& path, const std::string& key) {
    std::vector<std::string> values;
    const auto entries = read_record(path);
    const auto [first, last] = entries.equal_range(key);
    for (auto entry = first; entry != last; ++entry) {
        values.push_back(entry->second);
    }
    return values;
}

bool wait_for_record(const std::wstring& path, const std::string& key, DWORD timeoutMs) {
    return wait_until(timeoutMs, [&] { return read_record(path).count(key) != 0; });
}

DWORD recorded_pid(const std::wstring& recordPath, const std::string& key) {
    const std::vector<std::string> values = record_values(recordPath, key);
    return values.empty() ? 0 : static_cast<DWORD>(strtoul(values.front().c_str(), nullptr, 10));
}

HANDLE find_handle_in(HANDLE owner, const std::function<bool(HANDLE)>& matches) {
    // Handle values are multiples of four, and a launcher holds a few hundred at most.
    constexpr uintptr_t kLastValue = 0x10000;
    for (uintptr_t value = 4; value <= kLastValue; value += 4) {
        HANDLE copy = nullptr;
        if (!DuplicateHandle(owner, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy, 0,
                             FALSE, DUPLICATE_SAME_ACCESS)) {
            continue;
        }
        const bool found = matches(copy);
        CloseHandle(copy);
        if (found) {
            return reinterpret_cast<HANDLE>(value);
        }
    }
    return nullptr;
}

bool close_handle_in(HANDLE owner, HANDLE value) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(owner, value, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS)) {
        return false;
    }
    CloseHandle(copy);
    return true;
}

namespace {

HANDLE open_recorded_child(const std::wstring& recordPath, DWORD access, DWORD timeoutMs) {
    if (!wait_for_record(recordPath, "pid", timeoutMs)) {
        return nullptr;
    }
    return OpenProcess(access, FALSE, recorded_pid(recordPath));
}

}  // namespace

bool wait_for_recorded_child_end(const std::wstring& recordPath, DWORD timeoutMs) {
    HANDLE child = open_recorded_child(recordPath, SYNCHRONIZE, timeoutMs);
    if (child == nullptr) {
        return false;
    }
    const bool ended = WaitForSingleObject(child, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(child);
    return ended;
}

void end_recorded_child(const std::wstring& recordPath) {
    for (const std::string& pid : record_values(recordPath, "pid")) {
        HANDLE child = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, std::stoul(pid));
        if (child != nullptr) {
            TerminateProcess(child, 1);
            WaitForSingleObject(child, 5000);
            CloseHandle(child);
        }
    }
}
