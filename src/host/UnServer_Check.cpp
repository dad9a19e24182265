#include "host/UnServer_Check.h"

namespace merivo {

namespace {
CheckProblems* Collecting = nullptr;
}  // namespace

void NoteCheckProblem(const std::string& problem) {
    if (Collecting) Collecting->add(problem);
}

CheckProblems::CheckProblems() {
    Collecting = this;
}

CheckProblems::~CheckProblems() {
    if (Collecting == this) Collecting = nullptr;
}

std::vector<std::string> CheckVerdictLines(const std::vector<std::string>& problems, bool clean) {
    std::vector<std::string> lines;
    for (const std::string& problem : problems) lines.push_back("Problem: " + problem);
    if (clean && problems.empty()) {
        lines.push_back("Verdict: no problems, a start would be clean");
    } else if (problems.empty()) {
        lines.push_back("Verdict: a start would not be clean (see the log above)");
    } else {
        const std::size_t count = problems.size();
        lines.push_back("Verdict: " + std::to_string(count) +
                        (count == 1 ? " problem" : " problems") + ", a start would not be clean");
    }
    return lines;
}

}  // namespace merivo
