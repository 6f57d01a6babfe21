// A temporary directory for an in-process test's own files, removed with it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

struct TempDir {
    std::string path;
    TempDir() {
        std::string tmpl = std::filesystem::temp_directory_path() / "tolvane-unit-XXXXXX";
        path = mkdtemp(tmpl.data());
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // Writes a file (making parent directories) and returns its absolute path.
    std::string write(std::string_view rel, std::string_view content) const {
        std::filesystem::path p = std::filesystem::path(path) / rel;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary).write(content.data(), std::streamsize(content.size()));
        return p;
    }
};
