// runtool: runs the built tintcell binary for the end-to-end tests and captures what it printed.
//
// The same on every system; runtool_posix.cpp and runtool_windows.cpp start
// the process, and posixtool.h has what only POSIX tests use.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// A run of the built binary: what it printed on each stream and its exit status.
struct run {
    int status;
    std::string out, err;
};

// Paths are UTF-8 on every system; on Windows the streams open them by
// their UTF-16 form, as the tool does.
inline std::filesystem::path fspath(const std::string &path)
{
    return std::filesystem::u8path(path);
}

inline std::string slurp(const std::string &path)
{
    std::ifstream f(fspath(path), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void removefile(const std::string &path)
{
    std::error_code ignored;
    std::filesystem::remove(fspath(path), ignored);
}

// This process's id: ctest runs tests side by side, each process naming
// its scratch files for itself.
int processnumber();

inline std::string scratchpath(const std::string &name)
{
    return testing::TempDir() + "tintcell_" + std::to_string(processnumber()) + "_" + name;
}

inline std::string scratchfile(const std::string &name, const std::string &bytes)
{
    const std::string path = scratchpath(name);
    std::ofstream(fspath(path), std::ios::binary) << bytes;
    return path;
}

// A stream that the test reads back when it is done with it, on a scratch
// file: open_memstream and fmemopen are not on every system.
inline std::map<FILE *, std::string> &openstreams()
{
    static std::map<FILE *, std::string> streams;
    return streams;
}

// A new stream holding the bytes, at their start.
inline FILE *openstream(const std::string &bytes = "")
{
    static int count;
    const std::string path = scratchpath("stream" + std::to_string(count++));
    FILE *f = fopen(path.c_str(), "w+b");
    if (f == nullptr)
        return nullptr;
    fwrite(bytes.data(), 1, bytes.size(), f);
    rewind(f);
    openstreams()[f] = path;
    return f;
}

// Closes the stream and returns every byte it holds.
inline std::string closestream(FILE *f)
{
    fflush(f);
    rewind(f);
    std::string bytes;
    char block[1 << 16];
    for (size_t n; (n = fread(block, 1, sizeof block, f)) > 0;)
        bytes.append(block, n);
    fclose(f);
    removefile(openstreams()[f]);
    openstreams().erase(f);
    return bytes;
}

// Takes what a finished run wrote into its scratch files, and removes them:
// standard output only when it went to a scratch file of the run's own.
inline void collectoutput(run *r, bool captureout, const std::string &outpath, const std::string &errpath)
{
    if (captureout) {
        r->out = slurp(outpath);
        removefile(outpath);
    }
    r->err = slurp(errpath);
    removefile(errpath);
}

// A file that reads as empty: /dev/null, or Windows's NUL.
extern const char emptyinput[];

// Runs tintcell with the arguments; standard input comes from stdinpath (or,
// when piped, the file's bytes come through a pipe) and standard output goes
// to outpath, or to a scratch file when that is empty. A run that takes more
// than a minute, as one waiting for keystrokes would, is killed: status 128 + 9.
run runtool(const std::vector<std::string> &args, const std::string &stdinpath = emptyinput,
            std::string outpath = "", bool piped = false);
