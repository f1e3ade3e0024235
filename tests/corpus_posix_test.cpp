// corpus_posix_test: the built binary on output that stops being read, by SIGPIPE or a failed write.
#include <signal.h>

#include <gtest/gtest.h>

#include <string>

#include "posixtool.h"
#include "tintcell.h"

namespace {

const std::string corpus = TINTCELL_CORPUS;
const char hugefile[] = "size-huge-no-data";

// A reader that stops after 100 bytes ends the run at once: by SIGPIPE, or,
// where SIGPIPE is ignored, by the failed write, with status 1.
TEST(Corpus, OutputThatStopsBeingReadEndsTheRun)
{
    for (bool ignoresigpipe : {false, true}) {
        // An ignored signal stays ignored in the program the child runs.
        struct sigaction ignore = {}, old = {};
        ignore.sa_handler = ignoresigpipe ? SIG_IGN : SIG_DFL;
        sigaction(SIGPIPE, &ignore, &old);
        pid_t pid;
        const int fd = spawnpiped(corpus + hugefile + ".ppm", &pid);
        sigaction(SIGPIPE, &old, nullptr);
        ASSERT_GE(fd, 0);
        char first[100];
        size_t got = 0;
        for (ssize_t n; got < sizeof first && (n = read(fd, first + got, sizeof first - got)) > 0;)
            got += static_cast<size_t>(n);
        close(fd);
        rusage usage;
        const int status = waitatmostaminute(pid, &usage);
        EXPECT_EQ(got, sizeof first);
        ASSERT_NE(status, -1) << "still running a minute after its reader left";
        if (ignoresigpipe) {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), exitfailure);
        } else {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), SIGPIPE);
        }
    }
}

}  // namespace
