// Runs a fuzz target over files without libFuzzer, so the corpus, past
// crashers and the shared test images run as ordinary tests. Arguments are
// files or folders (walked recursively); missing ones are skipped.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int g_files = 0;

void Run(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        DIR* d = opendir(path.c_str());
        if (!d) return;
        std::vector<std::string> names;
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
        for (const auto& n : names) Run(path + "/" + n);
        return;
    }
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return;
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    std::fclose(f);
    LLVMFuzzerTestOneInput(data.data(), data.size());
    ++g_files;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) Run(argv[i]);
    std::printf("replayed %d files\n", g_files);
    return 0;
}
