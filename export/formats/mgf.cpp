#include "export/formats/mgf.hpp"

#include "export/encoding/xml_text.hpp"

namespace exporter::mgf {
namespace {

// A line of text: line breaks would end the line early.
void append_line_text(std::string& out, std::string_view text) {
    for (const char c : text) out += (c == '\n' || c == '\r') ? ' ' : c;
}

}  // namespace

void encode_batch(Batch& batch) {
    std::string& out = batch.text;
    batch.spectra.resize(batch.records.size());
    for (std::size_t i = 0; i < batch.records.size(); ++i) {
        core::SpectrumRecord& r = batch.records[i];
        batch.spectra[i].offset = out.size();
        out += "BEGIN IONS\nTITLE=";
        out += to_native_id(r.native_id);  // the record's identifier, as in mzML and the tables
        out += "\nRTINSECONDS=";
        append_number(out, r.retention_time_sec);
        if (r.precursor && r.precursor->selected_mz) {
            out += "\nPEPMASS=";
            append_number(out, *r.precursor->selected_mz);
        }
        out += "\nSCANS=";
        append_number(out, r.scan_number);
        out += '\n';
        for (std::size_t k = 0; k < r.mz.size(); ++k) {
            append_number(out, r.mz[k]);
            out += ' ';
            append_number(out, r.intensity[k]);
            out += '\n';
        }
        out += "END IONS\n\n";
        r = core::SpectrumRecord{};
    }
    batch.records.clear();
}

std::string comments(const std::vector<std::string>& warnings) {
    std::string out;
    for (const std::string& warning : warnings) {
        out += "#warning: ";
        append_line_text(out, warning);
        out += '\n';
    }
    return out;
}

}  // namespace exporter::mgf
