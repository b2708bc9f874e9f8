// Deterministic inputs for the benchmarks, one per kind of data a setup
// carries: text, program-like binary, incompressible noise and long runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<uint8_t>;

enum class DataKind { Text, Binary, Random, Runs };

const char* KindName(DataKind kind);
// The same bytes for the same kind and size on every run.
Bytes MakeData(DataKind kind, size_t size);

}  // namespace bench
