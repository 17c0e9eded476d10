#include "behaviour.h"

#include <algorithm>

namespace audioserver {

namespace {

bool choose(const std::string& value, const char* yes, const char* no, bool& choice) {
    if (value == yes) {
        choice = true;
        return true;
    }
    if (value == no) {
        choice = false;
        return true;
    }
    return false;
}

}  // namespace

bool applyBehaviour(const std::string& word, ServerBehaviour& behaviour) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos) return false;
    const std::string name = word.substr(0, eq), value = word.substr(eq + 1);
    if (name == "write-mix-while-idle") {
        return choose(value, "yes", "no", behaviour.writeMixWhileIdle);
    }
    if (name == "rate-change") {
        return choose(value, "running", "restart", behaviour.rateChangeWhileRunning);
    }
    if (name == "cycle-operations") return choose(value, "yes", "no", behaviour.cycleOperations);
    return false;
}

bool applyBehaviourList(const std::string& list, ServerBehaviour& behaviour, std::string& bad) {
    size_t start = 0;
    while (start < list.size()) {
        const size_t end = std::min(list.find_first_of(", ", start), list.size());
        const std::string word = list.substr(start, end - start);
        if (!word.empty() && !applyBehaviour(word, behaviour)) {
            bad = word;
            return false;
        }
        start = end + 1;
    }
    return true;
}

std::string describe(const ServerBehaviour& behaviour) {
    return std::string("write-mix-while-idle=") + (behaviour.writeMixWhileIdle ? "yes" : "no") +
           " rate-change=" + (behaviour.rateChangeWhileRunning ? "running" : "restart") +
           " cycle-operations=" + (behaviour.cycleOperations ? "yes" : "no");
}

}  // namespace audioserver
