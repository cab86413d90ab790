// Fills the platform's handle table, for tests of what happens when no
// mutex, event or thread can be created any more.
#pragma once

#include "pchol/platform.hpp"

#include <vector>

namespace pchol_test {

// Takes every free platform handle (as mutexes) except `spare` of them, and
// gives them all back when it goes out of scope.
class handle_hog {
public:
    explicit handle_hog(int spare = 0) {
        for (platform::handle h = platform::mutex_create(); h != 0; h = platform::mutex_create()) held_.push_back(h);
        give_back(spare);
    }
    ~handle_hog() { give_back(static_cast<int>(held_.size())); }
    handle_hog(const handle_hog&) = delete;
    handle_hog& operator=(const handle_hog&) = delete;

    // Closes count of the held handles, so that count more can be created.
    void give_back(int count) {
        for (; count > 0 && !held_.empty(); --count) {
            platform::close_handle(held_.back());
            held_.pop_back();
        }
    }
    int held() const { return static_cast<int>(held_.size()); }

private:
    std::vector<platform::handle> held_;
};

}  // namespace pchol_test
