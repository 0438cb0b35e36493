// MGF, the peak-list text that search engines read: one BEGIN IONS block per product-ion record.
#pragma once

#include <string>
#include <vector>

#include "export/formats/document.hpp"

namespace exporter::mgf {

// Encodes every record of the batch as a block (the caller passes only records of MS level 2
// or more).
void encode_batch(Batch& batch);

// Comment lines for the warnings, after the last block.
std::string comments(const std::vector<std::string>& warnings);

}  // namespace exporter::mgf
