#include "LzhModel.h"

#include <algorithm>

namespace quern {

namespace lzh {

void LzhModel::InitModel() {
    for (int s = 0; s < SymbolCount; ++s) {
        Freq[s] = 1;
        Child[s] = static_cast<int16_t>(s + LeafBase);
        Parent[s + LeafBase] = static_cast<int16_t>(s);
    }
    for (int i = 0, j = SymbolCount; j < NodeCount; i += 2, ++j) {
        Freq[j] = static_cast<uint16_t>(Freq[i] + Freq[i + 1]);
        Child[j] = static_cast<int16_t>(i);
        Parent[i] = Parent[i + 1] = static_cast<int16_t>(j);
    }
    Freq[NodeCount] = 0xFFFF;
    Parent[Root] = 0;
    Child[NodeCount] = 0;
    Parent[LeafBase + SymbolCount] = 0;
}

void LzhModel::RebuildModel() {
    // Halve the leaves, rounding up so none drops to 0, keeping their order.
    int j = 0;
    for (int i = 0; i < NodeCount; ++i) {
        if (Child[i] >= LeafBase) {
            Freq[j] = static_cast<uint16_t>((Freq[i] + 1) / 2);
            Child[j] = Child[i];
            ++j;
        }
    }
    // Join neighbours pairwise; a new node goes after every node of equal
    // frequency, which keeps Freq sorted.
    for (int i = 0; j < NodeCount; i += 2, ++j) {
        const uint16_t f = static_cast<uint16_t>(Freq[i] + Freq[i + 1]);
        int k = j - 1;
        while (f < Freq[k]) --k;
        ++k;
        std::copy_backward(Freq.begin() + k, Freq.begin() + j, Freq.begin() + j + 1);
        std::copy_backward(Child.begin() + k, Child.begin() + j, Child.begin() + j + 1);
        Freq[k] = f;
        Child[k] = static_cast<int16_t>(i);
    }
    for (int i = 0; i < NodeCount; ++i) {
        const int k = Child[i];
        if (k >= LeafBase)
            Parent[k] = static_cast<int16_t>(i);
        else
            Parent[k] = Parent[k + 1] = static_cast<int16_t>(i);
    }
}

}  // namespace lzh

}  // namespace quern
