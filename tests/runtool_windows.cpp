// runtool_windows: starts the built tintcell.exe with CreateProcessW for the end-to-end tests.
#include "runtool.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>

int processnumber()
{
    return static_cast<int>(GetCurrentProcessId());
}

const char emptyinput[] = "NUL";

namespace {

std::wstring wide(const std::string &utf8)
{
    return fspath(utf8).wstring();
}

// An argument as the C runtime's parser reads it back: in quotes, with the
// backslashes before a quote (or before the closing quote) doubled.
std::wstring quoted(const std::wstring &argument)
{
    std::wstring q = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        q.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        q += c;
    }
    q.append(2 * backslashes, L'\\');
    return q + L"\"";
}

HANDLE openinherited(const std::string &path, bool writing)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(wide(path).c_str(), writing ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       writing ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

run runtool(const std::vector<std::string> &args, const std::string &stdinpath, std::string outpath, bool piped)
{
    const std::string errpath = scratchpath("stderr");
    const bool captureout = outpath.empty();
    if (captureout)
        outpath = scratchpath("stdout");
    // The binary by its full path, in the form Windows gives it.
    std::wstring command = quoted(std::filesystem::absolute(fspath(TINTCELL_BINARY)).wstring());
    for (const std::string &a : args)
        command += L" " + quoted(wide(a));
    // Under wine a process now and then fails to start, for reasons of
    // wine's own; a few tries a moment apart rule that out, and a start that
    // never succeeds says why in the run's error output.
    HANDLE feed = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION process = {};
    bool started = false;
    DWORD why = 0;
    for (int attempt = 0; attempt < 5 && !started; attempt++) {
        if (attempt > 0)
            Sleep(200);
        HANDLE in = INVALID_HANDLE_VALUE;
        feed = INVALID_HANDLE_VALUE;
        if (piped) {
            SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
            if (CreatePipe(&in, &feed, &inherit, 0))
                SetHandleInformation(feed, HANDLE_FLAG_INHERIT, 0);  // the tool must see the pipe's end
        } else {
            in = openinherited(stdinpath, false);
        }
        HANDLE out = openinherited(outpath, true), err = openinherited(errpath, true);
        STARTUPINFOW start = {};
        start.cb = sizeof start;
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdInput = in;
        start.hStdOutput = out;
        start.hStdError = err;
        started = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                  CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process);
        why = started ? 0 : GetLastError();
        for (HANDLE h : {in, out, err}) {
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
        }
        if (!started && feed != INVALID_HANDLE_VALUE) {
            CloseHandle(feed);
            feed = INVALID_HANDLE_VALUE;
        }
    }
    run r{-1, "", ""};
    if (started && piped) {
        const std::string bytes = slurp(stdinpath);
        DWORD n = 0;
        for (size_t at = 0; at < bytes.size(); at += n) {
            const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1 << 16));
            if (!WriteFile(feed, bytes.data() + at, want, &n, nullptr) || n == 0)
                break;  // the tool stopped reading
        }
        CloseHandle(feed);
    }
    if (started) {
        DWORD status = 128 + 9;
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
            TerminateProcess(process.hProcess, status);
        else
            GetExitCodeProcess(process.hProcess, &status);
        r.status = static_cast<int>(status);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    collectoutput(&r, captureout, outpath, errpath);
    if (!started)
        r.err = "the tool did not start: Windows error " + std::to_string(why);
    return r;
}
