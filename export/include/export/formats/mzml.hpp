// Indexed mzML 1.1: the text of spectra, the document's header, its chromatograms and the
// index with the file's checksum.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "export/formats/document.hpp"
#include "export/formats/transitions.hpp"

namespace exporter::mzml {

// How binary arrays are stored: zlib streams or not, MS-Numpress first or not, and whether
// the zero-intensity points of profile spectra that are not next to a non-zero point are left out.
struct ArrayEncoding {
    bool zlib = true;
    bool numpress = false;
    bool strip_zeros = false;
};

// What a conversion to mzML is asked for besides the selection: the arrays' encoding, and MRM
// transition records as one-point "SRM spectra", as they are read, instead of one selected
// reaction monitoring chromatogram per precursor and product pair.
struct Options {
    ArrayEncoding arrays;
    bool srm_as_spectra = false;
};

// Encodes every record of the batch as a <spectrum> element, numbered from its first_index.
void encode_batch(Batch& batch, const ArrayEncoding& encoding);

// Everything from the XML declaration to the opening <spectrumList>.
std::string header(const DocumentInfo& info);

// Elements' identifiers and the byte offsets where their start tags begin in the file, in
// order. A file may hold millions whose identifiers differ only at the end ("source=NAME
// start=7 end=7"): each is kept as the length it shares with the one before and the rest.
class IndexEntries {
public:
    void add(std::string_view id, std::uint64_t offset);
    std::size_t size() const noexcept { return offsets_.size(); }
    // Calls `visit(id, offset)` for every entry, in order.
    template <typename Visit>
    void for_each(Visit visit) const {
        std::string id;
        for (std::size_t i = 0, start = 0; i < offsets_.size(); start = ends_[i++]) {
            id.resize(shared_[i]);
            id.append(rests_, start, ends_[i] - start);
            visit(std::string_view(id), offsets_[i]);
        }
    }

private:
    std::string last_;
    std::string rests_;
    std::vector<std::uint32_t> shared_;
    std::vector<std::size_t> ends_;  // where each rest ends in rests_
    std::vector<std::uint64_t> offsets_;
};

// From the closing </spectrumList> to the closing </mzML>: the total ion current and base peak
// chromatograms over `points` (the MS1 spectra, or all when there are none), then one selected
// reaction monitoring chromatogram per pair of `transitions`. `at` is the file offset where the
// text will start; the offsets of the chromatograms are appended to `index`; the text goes to
// `write` a piece at a time.
void chromatograms(const std::vector<ChromatogramPoint>& points, const TransitionChromatograms& transitions,
                   const ArrayEncoding& encoding, std::uint64_t at, IndexEntries& index,
                   const std::function<void(std::string_view)>& write);

// The index list starting at file offset `at`, then <indexListOffset> and the opening
// <fileChecksum> tag: the checksum covers the file up to and including that tag.
// The text goes to `write` a piece at a time: an index of millions of entries is never held whole.
void index_list(const IndexEntries& spectra, const IndexEntries& chromatograms, std::uint64_t at,
                const std::function<void(std::string_view)>& write);

// The checksum's text and the end of the document.
std::string closing(const std::string& sha1_hex);

}  // namespace exporter::mzml
