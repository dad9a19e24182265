#pragma once
// A fresh folder under /tmp for one test, removed with everything in it at the end.
#include <string>

namespace merivo {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The path of name inside the folder.
    std::string file(const std::string& name) const;

    // Direct file access for setting up and checking, past any Env.
    void writeFile(const std::string& name, const std::string& bytes) const;
    std::string readFile(const std::string& name) const;

  private:
    std::string path_;
};

}  // namespace merivo
