// Indexed mzML 1.1: the text of spectra, the document's header, its chromatograms and the
// index with the file's checksum.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "export/document.hpp"

namespace exporter::mzml {

// Encodes every record of the batch as a <spectrum> element, numbered from its first_index.
void encode_batch(Batch& batch, bool compress);

// Everything from the XML declaration to the opening <spectrumList>.
std::string header(const DocumentInfo& info);

// An element's identifier and the byte offset where its start tag begins in the file.
using IndexEntry = std::pair<std::string, std::uint64_t>;

// From the closing </spectrumList> to the closing </mzML>: the total ion current and base peak
// chromatograms over `points` (the MS1 spectra, or all when there are none). `at` is the file
// offset where the text will start; the offsets of the chromatograms are appended to `index`.
std::string chromatograms(const std::vector<WrittenSpectrum>& points, bool compress, std::uint64_t at,
                          std::vector<IndexEntry>& index);

// The index list starting at file offset `at`, then <indexListOffset> and the opening
// <fileChecksum> tag: the checksum covers the file up to and including that tag.
std::string index_list(const std::vector<IndexEntry>& spectra, const std::vector<IndexEntry>& chromatograms,
                       std::uint64_t at);

// The checksum's text and the end of the document.
std::string closing(const std::string& sha1_hex);

}  // namespace exporter::mzml
