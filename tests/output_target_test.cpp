// The folder of -o's FILE as a name of its own, which messages show and which
// the run opens to hold the folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "output_target.hpp"

namespace {

struct FolderCase {
    const char *path;
    size_t folder; // as the run finds it: up to and with the last '/'
    const char *name;
};

TEST(FolderName, EachKindOfPath) {
    const FolderCase cases[] = {
        {"app.conf", 0, "."},
        {"/app.conf", 1, "/"},
        {"//app.conf", 2, "/"},
        {"etc/app.conf", 4, "etc"},
        {"/etc/app/x", 9, "/etc/app"},
        {"a/b//x", 5, "a/b/"},
        {"./x", 2, "."},
    };
    for (const FolderCase &c : cases) {
        char *name = folder_name(c.path, c.folder);
        EXPECT_EQ(std::string(name), c.name) << c.path;
        std::free(name);
    }
}

} // namespace
