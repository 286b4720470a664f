// Runs a fuzz target's checks on the files of its corpus, without libFuzzer,
// so that the ordinary build and test run replay what the fuzzers found.
// usage: REPLAY DIRECTORY|FILE...
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
// Only some targets have one.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

// The file being run, for the report of a target that aborts on it.
static const char *current = "";

static void say(const char *text) {
    ssize_t n = write(STDERR_FILENO, text, std::strlen(text));
    (void)n;
}

static void report_abort(int) {
    say("replay: failed on ");
    say(current);
    say("\n");
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
}

static bool read_file(const std::string &path, std::vector<uint8_t> *data) {
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    data->clear();
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        data->insert(data->end(), chunk, chunk + n);
    bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

// The files a path names: itself, or the regular files of the directory, sorted.
static std::vector<std::string> files_of(const std::string &path) {
    std::vector<std::string> files;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) {
        files.push_back(path);
        return files;
    }
    while (const dirent *entry = readdir(dir)) {
        std::string file = path + "/" + entry->d_name;
        struct stat info;
        if (stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            files.push_back(file);
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY|FILE...\n", argv[0]);
        return 2;
    }
    if (LLVMFuzzerInitialize != nullptr && LLVMFuzzerInitialize(&argc, &argv) != 0) {
        std::fprintf(stderr, "replay: the target's initialization failed\n");
        return 1;
    }
    std::signal(SIGABRT, report_abort);
    for (int i = 1; i < argc; i++) {
        std::vector<std::string> files = files_of(argv[i]);
        if (files.empty()) {
            std::fprintf(stderr, "replay: no files in %s\n", argv[i]);
            return 1;
        }
        std::vector<uint8_t> data;
        for (const std::string &file : files) {
            if (!read_file(file, &data)) {
                std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
                return 1;
            }
            current = file.c_str();
            LLVMFuzzerTestOneInput(data.data(), data.size());
        }
        std::printf("replay: %zu inputs from %s, every check held\n", files.size(), argv[i]);
    }
    return 0;
}
