// platform_windows_test: the console's mode and colours around a run and after Ctrl-C, on a Windows console, and the size of the writer's pieces.
//
// Under ctest the process has no console (its streams are files and pipes),
// and these tests skip; scripts/check windows runs them again in a terminal,
// where wine gives the process a console of its own.
#include "platform.h"

#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <string>

#include "expect.h"
#include "palette.h"
#include "render.h"
#include "sgrwrite.h"
#include "tintcell.h"

namespace {

constexpr DWORD escapes = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING

HANDLE openconsole()
{
    return CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// A stream of its own on the console, as the tool's standard output would be.
FILE *streamon(HANDLE console)
{
    HANDLE copy;
    DuplicateHandle(GetCurrentProcess(), console, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return _fdopen(_open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_BINARY), "wb");
}

DWORD modeof(HANDLE console)
{
    DWORD mode = 0;
    GetConsoleMode(console, &mode);
    return mode;
}

WORD attributesof(HANDLE console)
{
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    GetConsoleScreenBufferInfo(console, &info);
    return info.wAttributes;
}

// The console's escape processing is on while a picture is written, and the
// mode is as it was once the run has ended, on each path a run can take.
TEST(Console, ModeIsBackAfterTheRun)
{
    const HANDLE console = openconsole();
    if (console == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "no console here; scripts/check windows runs this in a terminal";
    const DWORD original = modeof(console);
    buildpalette();
    const std::string image = ppmheader(2, 1) + px(255, 0, 0) + px(0, 0, 255);
    for (DWORD before : {original & ~escapes, original | escapes}) {
        ASSERT_TRUE(SetConsoleMode(console, before));
        FILE *to = streamon(console);
        beginconsole(to);
        EXPECT_NE(modeof(console) & escapes, 0u) << "mode before " << before;
        endconsole();
        EXPECT_EQ(modeof(console), before);
        for (const std::string &file : {image, std::string("P6\n2\n255\n"), std::string("P3\n")}) {
            FILE *in = openstream(file);
            renderppm(in, to);
            closestream(in);
            EXPECT_EQ(modeof(console), before) << "mode before " << before << ", file " << file.substr(0, 8);
        }
        fclose(to);
    }
    SetConsoleMode(console, original);
    CloseHandle(console);
}

// Every process on the console gets its Ctrl-C; this one lets it pass.
BOOL WINAPI letpass(DWORD)
{
    return TRUE;
}

// Ctrl-C while colours are in force: the tool's handler only notes it, the
// writer sends the closing reset, and the process ends with the status of a
// Ctrl-C after putting the console's mode back. The console's colours are
// then those it had before.
TEST(Console, CtrlCRestoresColoursAndMode)
{
    const HANDLE console = openconsole();
    if (console == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "no console here; scripts/check windows runs this in a terminal";
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    const DWORD original = modeof(console);
    const DWORD before = original & ~escapes;
    ASSERT_TRUE(SetConsoleMode(console, before));
    const WORD colours = attributesof(console);
    SetConsoleCtrlHandler(letpass, TRUE);
    EXPECT_EXIT(
        {
            buildpalette();
            FILE *to = streamon(console);
            static sgrout out;
            openout(&out, to);
            catchinterrupts();
            beginconsole(to);
            putcell(&out, palettecell(cellindex(red, blue, 7)));
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            for (int i = 0; i < 1000 && pendinginterrupt() == interruptnone; i++)
                Sleep(10);
            heedinterrupts(&out);  // ends the process
            exit(99);
        },
        testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT)), "");
    SetConsoleCtrlHandler(letpass, FALSE);
    EXPECT_EQ(modeof(console), before);
    EXPECT_EQ(attributesof(console), colours);
    SetConsoleMode(console, original);
    CloseHandle(console);
}

// A pipe may have a reader waiting on it and gets the small pieces; a file
// on disk gets the whole buffer at a time.
TEST(PutCell, PiecesFitTheStream)
{
    int ends[2];
    ASSERT_EQ(_pipe(ends, 4096, _O_BINARY), 0);
    FILE *pipeend = _fdopen(ends[1], "wb"), *file = tmpfile();
    ASSERT_NE(pipeend, nullptr);
    ASSERT_NE(file, nullptr);
    buildpalette();
    static sgrout writer;
    openout(&writer, pipeend);
    EXPECT_EQ(writer.piece, waitedpiece);
    openout(&writer, file);
    EXPECT_EQ(writer.piece, outbuffersize);
    fclose(pipeend);
    fclose(file);
    _close(ends[0]);
}

}  // namespace
