#pragma once
// The verdict of the settings check. Whatever the check reads notes each problem it finds in one
// line that names it (the file with its path, the key with its section and value, the user);
// the check prints those lines and one verdict line after its log.
#include <string>
#include <vector>

namespace merivo {

// Notes a problem for the check that is running; does nothing during a start.
void NoteCheckProblem(const std::string& problem);

// Collects the problems noted while it exists (one at a time, on the main thread).
class CheckProblems {
  public:
    CheckProblems();
    ~CheckProblems();
    CheckProblems(const CheckProblems&) = delete;
    CheckProblems& operator=(const CheckProblems&) = delete;

    const std::vector<std::string>& problems() const { return problems_; }
    void add(const std::string& problem) { problems_.push_back(problem); }

  private:
    std::vector<std::string> problems_;
};

// The lines that end a check: "Problem: " + each problem, then the verdict. A check that failed
// without naming a problem still says that a start would not be clean.
std::vector<std::string> CheckVerdictLines(const std::vector<std::string>& problems, bool clean);

}  // namespace merivo
