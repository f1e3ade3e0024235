// runbench: whole runs of tintcell against the plain-scan build and against cat, side by side.
//
//   runbench TINTCELL TINTCELL-SCAN IMAGE.ppm...
//   runbench --photos TINTCELL IMAGE.ppm...
//
// With --photos it leaves the plain scan out (seconds a picture) and sets
// the tool against the floor of moving the bytes: one process, `cat IMAGE
// OUTPUT`, reading the image and writing the tool's output, both to
// /dev/null. The two run in turn, tool then floor, and each gets the median
// of its runs; then both again, each started by a shell that execs it
// (`sh -c 'exec "$@"'`), as a command line with a redirection is run, which
// adds the shell's start to both. It also counts the picture's colours and,
// searching its rows as the tool does, how often the table of recent
// answers was asked and knew the answer.
//
// For each image it runs the tool once into a scratch file (the output), once
// traced (its own peak resident memory), the plain-scan build once (its time, and whether
// its bytes are the same), then times the tool, `cat IMAGE` and `cat OUTPUT`,
// each to /dev/null, and takes the median of repeated runs. Times are wall
// clock from spawning the process to its end.
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "palette.h"
#include "tintcell.h"

extern char **environ;

namespace {

struct outcome {
    double seconds;
    bool ok;
};

outcome spawnto(const std::vector<std::string> &command, const std::string &outpath)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv;
    for (const std::string &a : command)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid;
    outcome o{0, false};
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status;
        waitpid(pid, &status, 0);
        clock_gettime(CLOCK_MONOTONIC, &end);
        o.seconds = static_cast<double>(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
        o.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    posix_spawn_file_actions_destroy(&actions);
    return o;
}

// The tool's own peak resident memory in KiB: the high-water mark of its
// address space, read from /proc as it stops on its way out, traced; -1 when
// it could not be read. ru_maxrss would not do: a child carries its starter's
// resident pages in that figure until it execs, so it would count this
// process as well.
long ownpeakkb(const std::string &tool, const std::string &image)
{
    char *argv[] = {const_cast<char *>(tool.c_str()), const_cast<char *>(image.c_str()), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open("/dev/null", O_WRONLY);
        if (out >= 0 && dup2(out, 1) == 1 && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0)
            execv(argv[0], argv);
        _exit(127);
    }
    int status;
    // A traced process stops with SIGTRAP once it has execed.
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
        return -1;
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void *>(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
    long peak = -1;
    for (long sig = 0; ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(sig)) == 0;) {
        if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
            break;
        sig = WSTOPSIG(status);
        if (status >> 8 == (SIGTRAP | PTRACE_EVENT_EXIT << 8)) {
            sig = 0;
            char path[64], line[128];
            snprintf(path, sizeof path, "/proc/%ld/status", static_cast<long>(pid));
            FILE *f = fopen(path, "rb");
            while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
                sscanf(line, "VmHWM: %ld", &peak);
            if (f != nullptr)
                fclose(f);
        }
    }
    waitpid(pid, &status, 0);
    return peak;
}

double middleof(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

double median(const std::vector<std::string> &command, int runs)
{
    std::vector<double> times;
    for (int i = 0; i < runs; i++)
        times.push_back(spawnto(command, "/dev/null").seconds);
    return middleof(times);
}

long filesize(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return -1;
    fseek(f, 0, SEEK_END);
    const long size = ftell(f);
    fclose(f);
    return size;
}

bool samefiles(const std::string &a, const std::string &b)
{
    FILE *fa = fopen(a.c_str(), "rb"), *fb = fopen(b.c_str(), "rb");
    bool same = fa != nullptr && fb != nullptr;
    while (same) {
        const int ca = getc(fa), cb = getc(fb);
        same = ca == cb;
        if (ca == EOF)
            break;
    }
    if (fa != nullptr)
        fclose(fa);
    if (fb != nullptr)
        fclose(fb);
    return same;
}

// Width times height, as the tool's own header reader finds them.
long pixelsof(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    int32_t width = 0, height = 0;
    const bool image = f != nullptr && readheader(f, &width, &height) == headerimage;
    if (f != nullptr)
        fclose(f);
    return image && width > 0 && height > 0 ? static_cast<long>(width) * height : 0;
}

struct colourcounts {
    long colours;                 // distinct colours among the pixels
    uint64_t pixels, asked, found;  // the recent table's lookups and hits
};

// The pixels searched row by row in chunks, as the tool searches them.
colourcounts countcolours(const std::string &path)
{
    colourcounts c = {0, 0, 0, 0};
    FILE *f = fopen(path.c_str(), "rb");
    int32_t width = 0, height = 0;
    if (f == nullptr || readheader(f, &width, &height) != headerimage || width <= 0 || height <= 0) {
        if (f != nullptr)
            fclose(f);
        return c;
    }
    buildpalette();
    std::vector<bool> seen(1 << 24);
    std::vector<unsigned char> row(3 * static_cast<size_t>(width));
    std::vector<uint16_t> cells(static_cast<size_t>(width));
    for (int32_t y = 0; y < height && fread(row.data(), 1, row.size(), f) == row.size(); y++) {
        for (int32_t x = 0; x < width; x += 4096)
            nearestcells(&row[3 * static_cast<size_t>(x)], std::min(4096, width - x), &cells[static_cast<size_t>(x)]);
        for (int32_t x = 0; x < width; x++) {
            const size_t colour = static_cast<size_t>(row[3 * x]) << 16 | row[3 * x + 1] << 8 | row[3 * x + 2];
            c.colours += !seen[colour];
            seen[colour] = true;
        }
        c.pixels += static_cast<uint64_t>(width);
    }
    fclose(f);
    recentcounts(&c.asked, &c.found);
    return c;
}

// The tool against the one-process floor, in turn.
int photos(const std::string &tool, char **images, int count)
{
    const std::string out = "runbench-photo.out";
    printf("| image | pixels | colours | table asked | table knew | tintcell s | floor s | tintcell / floor | through sh | peak RSS KB |\n");
    printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (int i = 0; i < count; i++) {
        const std::string image = images[i];
        const long pixels = pixelsof(image);
        if (!spawnto({tool, image}, out).ok)
            return 1;
        const int runs = pixels > 1000000 ? 15 : 41;
        std::vector<double> toolruns, floorruns, shtoolruns, shfloorruns;
        for (int r = 0; r < runs; r++) {
            toolruns.push_back(spawnto({tool, image}, "/dev/null").seconds);
            floorruns.push_back(spawnto({"cat", image, out}, "/dev/null").seconds);
        }
        for (int r = 0; r < runs; r++) {
            shtoolruns.push_back(spawnto({"sh", "-c", "exec \"$@\"", "sh", tool, image}, "/dev/null").seconds);
            shfloorruns.push_back(spawnto({"sh", "-c", "exec \"$@\"", "sh", "cat", image, out}, "/dev/null").seconds);
        }
        const double t = middleof(toolruns), floor = middleof(floorruns);
        const double throughsh = middleof(shtoolruns) / middleof(shfloorruns);
        const colourcounts c = countcolours(image);
        const std::string name = image.substr(image.find_last_of('/') + 1);
        printf("| %s | %ld | %ld | %.1f%% | %.1f%% | %.4f | %.4f | %.2f | %.2f | %ld |\n", name.c_str(), pixels, c.colours,
               100.0 * static_cast<double>(c.asked) / static_cast<double>(c.pixels),
               c.asked > 0 ? 100.0 * static_cast<double>(c.found) / static_cast<double>(c.asked) : 0.0, t, floor,
               t / floor, throughsh, ownpeakkb(tool, image));
        fflush(stdout);
    }
    unlink(out.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && std::string(argv[1]) == "--photos")
        return photos(argv[2], argv + 3, argc - 3);
    if (argc < 4) {
        fputs("usage: runbench TINTCELL TINTCELL-SCAN IMAGE.ppm...\n       runbench --photos TINTCELL IMAGE.ppm...\n",
              stderr);
        return 2;
    }
    const std::string tool = argv[1], scan = argv[2];
    const std::string fastout = "runbench-fast.out", scanout = "runbench-scan.out";
    printf("| image | pixels | tintcell s | Mpixel/s | bytes/pixel | peak RSS KB | plain scan s | speed-up | cat in + out s | tintcell / cat | same bytes |\n");
    printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    bool allsame = true;
    for (int i = 3; i < argc; i++) {
        const std::string image = argv[i];
        const long pixels = pixelsof(image);
        const outcome first = spawnto({tool, image}, fastout);
        const outcome reference = spawnto({scan, image}, scanout);
        const bool same = first.ok && reference.ok && samefiles(fastout, scanout);
        allsame = allsame && same;
        const int runs = pixels > 4000000 ? 5 : 21;
        const double fast = median({tool, image}, runs);
        const double cat = median({"cat", image}, runs) + median({"cat", fastout}, runs);
        const std::string name = image.substr(image.find_last_of('/') + 1);
        printf("| %s | %ld | %.4f | %.1f | %.3f | %ld | %.2f | %.0fx | %.4f | %.2f | %s |\n", name.c_str(), pixels,
               fast, pixels / fast / 1e6, static_cast<double>(filesize(fastout)) / pixels, ownpeakkb(tool, image),
               reference.seconds, reference.seconds / fast, cat, fast / cat, same ? "yes" : "NO");
        fflush(stdout);
    }
    unlink(fastout.c_str());
    unlink(scanout.c_str());
    return allsame ? 0 : 1;
}
