// Scratch folders and environment settings that tests make and undo.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace orvo::test {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object ends.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

// Sets (or with nullopt, unsets) an environment variable and restores its
// earlier state when the object ends.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

// A registry store of its own for one test: ORVO_REGISTRY points into a
// scratch folder while the object lives.
class ScratchRegistry {
public:
    ScratchRegistry() : m_env("ORVO_REGISTRY", m_dir.file("registry.db")) {}
    std::string path() const { return m_dir.file("registry.db"); }
    const ScratchDir& dir() const { return m_dir; }

private:
    ScratchDir m_dir;
    ScopedEnv m_env;
};

}  // namespace orvo::test
