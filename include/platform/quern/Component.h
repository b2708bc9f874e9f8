// The class library's component base: an optional owner that frees the
// components it owns, a name and a tag.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <quern/StringList.h>

namespace quern {

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner = nullptr) : owner_(owner) {
        if (owner_) owner_->owned_.push_back(this);
    }
    ~TComponent() override {
        // Owned components detach themselves as they go.
        while (!owned_.empty()) delete owned_.back();
        if (owner_) {
            auto& siblings = owner_->owned_;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
        }
    }
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    int ComponentCount() const { return static_cast<int>(owned_.size()); }

    std::string Name;
    intptr_t Tag = 0;

private:
    TComponent* owner_;
    std::vector<TComponent*> owned_;
};

}  // namespace quern
