// The run's tables in the Arrow C data interface: the schema of each, and streams of record
// batches whose memory the batches own (the points' m/z and intensity columns are the run's own
// blocks, kept alive by every batch that refers to them). Plain C++: no interpreter is needed to
// read or release anything handed out, so that a consumer may do so on any thread, at any time,
// even after the interpreter has finished.
#pragma once

#include <cstdint>
#include <memory>

#include "arrow_c.hpp"
#include "run_data.hpp"

namespace tavrik_tables {

enum class Table : std::uint8_t { spectra, points, chromatograms };

// The table's name, as the Python attribute of a Run has it.
const char* table_name(Table table) noexcept;

// How many rows the table has.
std::uint64_t table_rows(const RunData& run, Table table) noexcept;

// Fills `out` with the table's schema, a struct of its columns. Throws std::bad_alloc.
void export_schema(Table table, ArrowSchema* out);

// Fills `out` with a fresh stream of the table's record batches. Throws std::bad_alloc.
void export_stream(std::shared_ptr<const RunData> run, Table table, ArrowArrayStream* out);

}  // namespace tavrik_tables
