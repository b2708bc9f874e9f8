#include "Rle.h"

namespace quern {

namespace {

constexpr uint8_t RleMarker = 0x94;
constexpr int32_t LongestRun = 255;  // a run token's count is one byte

// Lives for one codec call, so nothing carries over between entries.
struct RleState {
    uint8_t previousByte = 0;
    bool firstByte = true;
    bool inRun = false;
    int32_t runCount = 0;
};

// Counts 1 and 2 are cheaper as literals; count 0 is the escape of the marker.
void PutRun(CodecIO& io, int32_t count, uint8_t value) {
    if (count == 1 || count == 2) {
        for (int32_t i = 1; i < count; ++i) io.OutputByte(value);
    } else {
        io.OutputByte(RleMarker);
        io.OutputByte(static_cast<uint8_t>(count));
    }
}

void PutLiteral(CodecIO& io, uint8_t b) {
    if (b == RleMarker)
        PutRun(io, 0, RleMarker);
    else
        io.OutputByte(b);
}

}  // namespace

void RleCompress(CodecIO& io) {
    RleState st;
    for (;;) {
        const uint8_t b = io.InputByte();
        if (io.InputEnded()) break;
        if (st.inRun) {
            if (b == st.previousByte && st.runCount < LongestRun) {
                ++st.runCount;
            } else {
                PutRun(io, st.runCount, st.previousByte);
                st.previousByte = b;
                PutLiteral(io, b);
                st.inRun = false;
            }
        } else {
            // The marker never starts a run: each one is escaped on its own.
            if (b == RleMarker || b != st.previousByte || st.firstByte) {
                PutLiteral(io, b);
            } else {
                // The run count includes the literal already written.
                st.runCount = 2;
                st.inRun = true;
            }
            st.previousByte = b;
        }
        st.firstByte = false;
    }
    if (st.inRun) PutRun(io, st.runCount, st.previousByte);
}

void RleExpand(CodecIO& io) {
    RleState st;
    for (;;) {
        const uint8_t b = io.InputByte();
        if (io.InputEnded()) break;
        if (b != RleMarker) {
            io.OutputByte(b);
        } else {
            // A marker at the very end reads its count as 0, an escape.
            const uint8_t n = io.InputByte();
            if (n == 0) {
                io.OutputByte(RleMarker);
            } else {
                for (int32_t k = 1; k < n; ++k) io.OutputByte(st.previousByte);
            }
        }
        // After an escape or a run token this is the marker, so a run that
        // follows one repeats 0x94.
        st.previousByte = b;
    }
}

}  // namespace quern
