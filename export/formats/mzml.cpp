#include "export/formats/mzml.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>
#include <span>
#include <string_view>

#include "export/encoding/binary_array.hpp"
#include "export/encoding/numpress.hpp"
#include "export/encoding/xml_text.hpp"
#include "export/formats/version.hpp"

namespace exporter::mzml {
namespace {

constexpr std::string_view mz_unit = R"( unitCvRef="MS" unitAccession="MS:1000040" unitName="m/z")";
constexpr std::string_view counts_unit =
    R"( unitCvRef="MS" unitAccession="MS:1000131" unitName="number of detector counts")";
constexpr std::string_view second_unit = R"( unitCvRef="UO" unitAccession="UO:0000010" unitName="second")";

void cv_param(std::string& out, std::string_view indent, std::string_view accession, std::string_view name,
              std::string_view unit = {}) {
    out.append(indent).append(R"(<cvParam cvRef="MS" accession=")").append(accession).append(R"(" name=")");
    out.append(name).append(R"(" value="")").append(unit).append("/>\n");
}

template <typename Number>
void cv_value(std::string& out, std::string_view indent, std::string_view accession, std::string_view name,
              Number value, std::string_view unit = {}) {
    out.append(indent).append(R"(<cvParam cvRef="MS" accession=")").append(accession).append(R"(" name=")");
    out.append(name).append(R"(" value=")");
    append_number(out, value);
    out.append("\"").append(unit).append("/>\n");
}

void cv_text(std::string& out, std::string_view indent, std::string_view accession, std::string_view name,
             std::string_view value) {
    out.append(indent).append(R"(<cvParam cvRef="MS" accession=")").append(accession).append(R"(" name=")");
    out.append(name).append(R"(" value=")");
    append_escaped(out, value);
    out.append("\"/>\n");
}

enum class Prediction { linear, short_logged_float };

// One <binaryDataArray> of `values`; `array` is the array's cvParam. With numpress, m/z and time
// arrays (linear prediction) and intensities (short logged float) are stored as the numpress
// encoding of their values, decoded as 64-bit floats, unless they hold a value it cannot carry.
template <typename Number>
void binary_array(std::string& out, std::string_view indent, std::span<const Number> values, Prediction prediction,
                  const ArrayEncoding& encoding, std::string_view array);

constexpr std::string_view float64 = R"(<cvParam cvRef="MS" accession="MS:1000523" name="64-bit float" value=""/>)"
                                      "\n";
constexpr std::string_view float32 = R"(<cvParam cvRef="MS" accession="MS:1000521" name="32-bit float" value=""/>)"
                                      "\n";
constexpr std::string_view mz_array = R"(<cvParam cvRef="MS" accession="MS:1000514" name="m/z array" value="")"
                                      R"( unitCvRef="MS" unitAccession="MS:1000040" unitName="m/z"/>)"
                                      "\n";
constexpr std::string_view intensity_array =
    R"(<cvParam cvRef="MS" accession="MS:1000515" name="intensity array" value="")"
    R"( unitCvRef="MS" unitAccession="MS:1000131" unitName="number of detector counts"/>)"
    "\n";
constexpr std::string_view time_array = R"(<cvParam cvRef="MS" accession="MS:1000595" name="time array" value="")"
                                        R"( unitCvRef="UO" unitAccession="UO:0000010" unitName="second"/>)"
                                        "\n";

template <typename Number>
void binary_array(std::string& out, std::string_view indent, std::span<const Number> values, Prediction prediction,
                  const ArrayEncoding& encoding, std::string_view array) {
    std::optional<std::vector<std::byte>> packed;
    if (encoding.numpress) {
        if (prediction == Prediction::short_logged_float) packed = numpress::encode_slof(values);
        else if constexpr (std::is_same_v<Number, double>) packed = numpress::encode_linear(values);
    }
    const std::string inner = std::string(indent) + "  ";
    thread_local std::string body;  // kept between arrays, so that it stops growing
    body.clear();
    const std::size_t length = append_binary(body, packed ? std::span<const std::byte>(*packed) : std::as_bytes(values),
                                             encoding.zlib);
    out.append(indent).append(R"(<binaryDataArray encodedLength=")");
    append_number(out, length);
    out.append("\">\n").append(inner).append(packed || sizeof(Number) == 8 ? float64 : float32);
    const bool linear = prediction == Prediction::linear;
    if (packed && encoding.zlib)
        cv_param(out, inner, linear ? "MS:1002746" : "MS:1002748",
                 linear ? "MS-Numpress linear prediction compression followed by zlib compression"
                        : "MS-Numpress short logged float compression followed by zlib compression");
    else if (packed)
        cv_param(out, inner, linear ? "MS:1002312" : "MS:1002314",
                 linear ? "MS-Numpress linear prediction compression" : "MS-Numpress short logged float compression");
    else if (encoding.zlib)
        cv_param(out, inner, "MS:1000574", "zlib compression");
    else
        cv_param(out, inner, "MS:1000576", "no compression");
    out.append(inner).append(array);
    out.append(inner).append("<binary>").append(body).append("</binary>\n");
    out.append(indent).append("</binaryDataArray>\n");
}

void encode_spectrum(std::string& out, const core::SpectrumRecord& r, std::uint64_t index,
                     const ArrayEncoding& encoding, WrittenSpectrum& w) {
    const std::size_t n = r.mz.size();
    std::string escaped_id;
    append_escaped(escaped_id, to_native_id(r.native_id));
    out.append("      ");
    w.offset = out.size();
    w.point.retention_time_sec = r.retention_time_sec;
    w.ms1 = r.ms_level == 1;
    out.append(R"(<spectrum index=")");
    append_number(out, index);
    // The points written: all of them, or with --strip-zeros those of a profile spectrum that
    // are not zero or are next to one that is not; the spectrum's figures are of all of them.
    std::span<const double> mz(r.mz.data(), n);
    std::span<const float> intensity(r.intensity.data(), n);
    if (encoding.strip_zeros && r.representation == core::representation::profile) {
        thread_local std::vector<double> kept_mz;
        thread_local std::vector<float> kept_intensity;
        kept_mz.clear();
        kept_intensity.clear();
        for (std::size_t k = 0; k < n; ++k) {
            if (kept_by_strip_zeros(intensity, k)) {
                kept_mz.push_back(r.mz[k]);
                kept_intensity.push_back(r.intensity[k]);
            }
        }
        mz = kept_mz;
        intensity = kept_intensity;
    }
    out.append(R"(" id=")").append(escaped_id).append(R"(" defaultArrayLength=")");
    append_number(out, mz.size());
    out.append("\">\n");
    constexpr std::string_view p = "        ";
    cv_value(out, p, "MS:1000511", "ms level", r.ms_level);
    if (r.acquisition_kind == core::acquisition::mrm_transition) cv_param(out, p, "MS:1000583", "SRM spectrum");
    else if (r.ms_level == 1) cv_param(out, p, "MS:1000579", "MS1 spectrum");
    else cv_param(out, p, "MS:1000580", "MSn spectrum");
    if (r.representation == core::representation::centroid) cv_param(out, p, "MS:1000127", "centroid spectrum");
    else cv_param(out, p, "MS:1000128", "profile spectrum");
    if (n > 0) {
        const SpectrumFigures f = figures_of(r);
        w.point.total_ion_current = f.total_ion_current;
        w.point.base_peak_intensity = r.intensity[f.base_peak];
        cv_value(out, p, "MS:1000285", "total ion current", f.total_ion_current);
        cv_value(out, p, "MS:1000504", "base peak m/z", r.mz[f.base_peak], mz_unit);
        cv_value(out, p, "MS:1000505", "base peak intensity", r.intensity[f.base_peak], counts_unit);
        cv_value(out, p, "MS:1000528", "lowest observed m/z", f.lowest_mz, mz_unit);
        cv_value(out, p, "MS:1000527", "highest observed m/z", f.highest_mz, mz_unit);
    }
    out.append("        <scanList count=\"1\">\n");
    cv_param(out, "          ", "MS:1000795", "no combination");
    out.append("          <scan>\n");
    cv_value(out, "            ", "MS:1000016", "scan start time", r.retention_time_sec, second_unit);
    out.append("          </scan>\n        </scanList>\n");
    if (r.precursor) {
        const core::Precursor& pre = *r.precursor;
        out.append("        <precursorList count=\"1\">\n          <precursor");
        if (pre.spectrum_ref) {
            out.append(R"( spectrumRef=")");
            append_escaped(out, to_native_id(*pre.spectrum_ref));
            out.append("\"");
        }
        out.append(">\n");
        if (pre.isolation_target_mz) {
            out.append("            <isolationWindow>\n");
            cv_value(out, "              ", "MS:1000827", "isolation window target m/z", *pre.isolation_target_mz,
                     mz_unit);
            out.append("            </isolationWindow>\n");
        }
        if (pre.selected_mz) {
            out.append("            <selectedIonList count=\"1\">\n              <selectedIon>\n");
            cv_value(out, "                ", "MS:1000744", "selected ion m/z", *pre.selected_mz, mz_unit);
            out.append("              </selectedIon>\n            </selectedIonList>\n");
        }
        // Both layouts with product-ion spectra (QTOF MS2, MRM) fragment in a collision cell.
        out.append("            <activation>\n");
        cv_param(out, "              ", "MS:1000133", "collision-induced dissociation");
        out.append("            </activation>\n          </precursor>\n        </precursorList>\n");
    }
    out.append("        <binaryDataArrayList count=\"2\">\n");
    binary_array(out, "          ", mz, Prediction::linear, encoding, mz_array);
    binary_array(out, "          ", intensity, Prediction::short_logged_float, encoding, intensity_array);
    out.append("        </binaryDataArrayList>\n      </spectrum>\n");
    w.id = std::move(escaped_id);
}

// One chromatogram of the time and one figure of every point.
void chromatogram(std::string& out, std::string_view id, std::uint64_t index, std::string_view accession,
                  std::string_view name, const std::vector<ChromatogramPoint>& points,
                  double ChromatogramPoint::*figure, const ArrayEncoding& encoding) {
    std::vector<double> times, values;
    times.reserve(points.size());
    values.reserve(points.size());
    for (const ChromatogramPoint& s : points) {
        times.push_back(s.retention_time_sec);
        values.push_back(s.*figure);
    }
    out.append(R"(<chromatogram index=")");
    append_number(out, index);
    out.append(R"(" id=")").append(id).append(R"(" defaultArrayLength=")");
    append_number(out, points.size());
    out.append("\">\n");
    cv_param(out, "        ", accession, name);
    out.append("        <binaryDataArrayList count=\"2\">\n");
    binary_array(out, "          ", std::span<const double>(times), Prediction::linear, encoding, time_array);
    binary_array(out, "          ", std::span<const double>(values), Prediction::short_logged_float, encoding,
                 intensity_array);
    out.append("        </binaryDataArrayList>\n      </chromatogram>\n");
}

// One transition's chromatogram: its precursor and product m/z, and its intensity over time.
void transition_chromatogram(std::string& out, std::string_view id, std::uint64_t index,
                             const TransitionChromatograms::Chromatogram& c, const ArrayEncoding& encoding) {
    out.append(R"(<chromatogram index=")");
    append_number(out, index);
    out.append(R"(" id=")");
    append_escaped(out, id);
    out.append(R"(" defaultArrayLength=")");
    append_number(out, c.times_sec.size());
    out.append("\">\n");
    cv_param(out, "        ", "MS:1001473", "selected reaction monitoring chromatogram");
    out.append("        <precursor>\n          <isolationWindow>\n");
    cv_value(out, "            ", "MS:1000827", "isolation window target m/z", c.precursor_mz, mz_unit);
    out.append("          </isolationWindow>\n          <activation>\n");
    cv_param(out, "            ", "MS:1000133", "collision-induced dissociation");
    out.append("          </activation>\n        </precursor>\n");
    out.append("        <product>\n          <isolationWindow>\n");
    cv_value(out, "            ", "MS:1000827", "isolation window target m/z", c.product_mz, mz_unit);
    out.append("          </isolationWindow>\n        </product>\n");
    out.append("        <binaryDataArrayList count=\"2\">\n");
    binary_array(out, "          ", std::span<const double>(c.times_sec), Prediction::linear, encoding, time_array);
    binary_array(out, "          ", std::span<const float>(c.intensities), Prediction::short_logged_float, encoding,
                 intensity_array);
    out.append("        </binaryDataArrayList>\n      </chromatogram>\n");
}

}  // namespace

void encode_batch(Batch& batch, const ArrayEncoding& encoding) {
    // Room for the text up front (base64 of every value and the markup), so that it is not
    // copied as it grows; pages never written to are never taken from the system.
    std::size_t room = 0;
    for (const core::SpectrumRecord& r : batch.records) room += 4000 + 17 * r.mz.size();
    batch.text.reserve(room);
    batch.spectra.resize(batch.records.size());
    for (std::size_t i = 0; i < batch.records.size(); ++i) {
        encode_spectrum(batch.text, batch.records[i], batch.first_index + i, encoding, batch.spectra[i]);
        batch.records[i] = core::SpectrumRecord{};  // its points are no longer needed
    }
    batch.records.clear();
}

std::string header(const DocumentInfo& info) {
    std::string out;
    out += R"(<?xml version="1.0" encoding="utf-8"?>
<indexedmzML xmlns="http://psi.hupo.org/ms/mzml" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:schemaLocation="http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd">
  <mzML xmlns="http://psi.hupo.org/ms/mzml" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:schemaLocation="http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd" version="1.1.0">
    <cvList count="2">
      <cv id="MS" fullName="Proteomics Standards Initiative Mass Spectrometry Ontology" URI="https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo"/>
      <cv id="UO" fullName="Unit Ontology" URI="https://raw.githubusercontent.com/bio-ontology-research-group/unit-ontology/master/unit.obo"/>
    </cvList>
    <fileDescription>
      <fileContent>
)";
    constexpr std::string_view p8 = "        ";
    if (info.kinds.ms1) cv_param(out, p8, "MS:1000579", "MS1 spectrum");
    if (info.kinds.msn) cv_param(out, p8, "MS:1000580", "MSn spectrum");
    if (info.kinds.srm) cv_param(out, p8, "MS:1000583", "SRM spectrum");
    if (info.kinds.srm_chromatograms)
        cv_param(out, p8, "MS:1001473", "selected reaction monitoring chromatogram");
    out += "      </fileContent>\n      <sourceFileList count=\"1\">\n";
    out += R"(        <sourceFile id="raw" name=")";
    append_escaped(out, info.source_name);
    out += R"(" location=")";
    append_escaped(out, info.source_location);
    out += "\">\n";
    constexpr std::string_view p10 = "          ";
    if (info.scan_number_ids) cv_param(out, p10, "MS:1000776", "scan number only nativeID format");
    else cv_param(out, p10, "MS:1000767", "native spectrum identifier format");
    cv_param(out, p10, "MS:1000560", "mass spectrometer file format");
    cv_text(out, p10, "MS:1000569", "SHA-1", info.source_sha1);
    out += "        </sourceFile>\n      </sourceFileList>\n    </fileDescription>\n";
    out += "    <softwareList count=\"1\">\n      <software id=\"tavrik\" version=\"";
    append_escaped(out, software_version());
    out += "\">\n";
    cv_text(out, "        ", "MS:1000799", "custom unreleased software tool", "tavrik");
    out += R"(      </software>
    </softwareList>
    <instrumentConfigurationList count="1">
      <instrumentConfiguration id="instrument">
        <cvParam cvRef="MS" accession="MS:1000031" name="instrument model" value=""/>
      </instrumentConfiguration>
    </instrumentConfigurationList>
    <dataProcessingList count=")";
    out += info.centroided ? '2' : '1';
    // The chromatograms are those of the raw profile; with centroiding, the spectra name a second
    // processing that adds the peak picking to the conversion.
    constexpr std::string_view conversion_method = R"(        <processingMethod order="0" softwareRef="tavrik">
          <cvParam cvRef="MS" accession="MS:1000544" name="Conversion to mzML" value=""/>
        </processingMethod>
)";
    out += "\">\n      <dataProcessing id=\"conversion\">\n";
    out += conversion_method;
    out += "      </dataProcessing>\n";
    if (info.centroided) {
        out += "      <dataProcessing id=\"centroiding\">\n";
        out += conversion_method;
        out += R"(        <processingMethod order="1" softwareRef="tavrik">
          <cvParam cvRef="MS" accession="MS:1000035" name="peak picking" value=""/>
        </processingMethod>
      </dataProcessing>
)";
    }
    out += R"(    </dataProcessingList>
    <run id=")";
    append_escaped(out, info.run_id);
    out += R"(" defaultInstrumentConfigurationRef="instrument" defaultSourceFileRef="raw")";
    if (info.start_time) {
        out += R"( startTimeStamp=")";
        append_escaped(out, *info.start_time);
        out += "\"";
    }
    out += ">\n";
    for (const std::string& warning : info.warnings) {
        out += R"(      <userParam name="conversion warning" value=")";
        append_escaped(out, warning);
        out += "\"/>\n";
    }
    out += R"(      <spectrumList count=")";
    append_number(out, info.spectrum_count);
    out += info.centroided ? R"(" defaultDataProcessingRef="centroiding">)" : R"(" defaultDataProcessingRef="conversion">)";
    out += "\n";
    return out;
}

void chromatograms(const std::vector<ChromatogramPoint>& points, const TransitionChromatograms& transitions,
                   const ArrayEncoding& encoding, std::uint64_t at, IndexEntries& index,
                   const std::function<void(std::string_view)>& write) {
    std::string out = "    </spectrumList>\n";
    const std::size_t count = (points.empty() ? 0 : 2) + transitions.size();
    std::uint64_t number = 0;
    // Notes where the next chromatogram starts; writes out what is gathered now and then.
    auto next = [&](std::string_view id) {
        if (out.size() >= (std::size_t{1} << 20)) {
            write(out);
            at += out.size();
            out.clear();
        }
        out += "      ";
        index.add(id, at + out.size());
        return number++;
    };
    if (count > 0) {
        out += "    <chromatogramList count=\"";
        append_number(out, count);
        out += "\" defaultDataProcessingRef=\"conversion\">\n";
    }
    if (!points.empty()) {
        chromatogram(out, "TIC", next("TIC"), "MS:1000235", "total ion current chromatogram", points,
                     &ChromatogramPoint::total_ion_current, encoding);
        chromatogram(out, "BPC", next("BPC"), "MS:1000628", "basepeak chromatogram", points,
                     &ChromatogramPoint::base_peak_intensity, encoding);
    }
    std::string id;
    transitions.for_each([&](const TransitionChromatograms::Chromatogram& c) {
        id = "SRM SIC Q1=";
        append_number(id, c.precursor_mz);
        id += " Q3=";
        append_number(id, c.product_mz);
        transition_chromatogram(out, id, next(id), c, encoding);
    });
    if (count > 0) out += "    </chromatogramList>\n";
    out += "    </run>\n  </mzML>\n";
    write(out);
}

void IndexEntries::add(std::string_view id, std::uint64_t offset) {
    const std::size_t most = std::min<std::size_t>({id.size(), last_.size(), UINT32_MAX});
    std::size_t shared = 0;
    while (shared < most && id[shared] == last_[shared]) ++shared;
    shared_.push_back(static_cast<std::uint32_t>(shared));
    rests_.append(id.substr(shared));
    ends_.push_back(rests_.size());
    offsets_.push_back(offset);
    last_.assign(id);
}

void index_list(const IndexEntries& spectra, const IndexEntries& chromatograms, std::uint64_t at,
                const std::function<void(std::string_view)>& write) {
    constexpr std::size_t piece = std::size_t{1} << 20;
    std::string out = "  <indexList count=\"2\">\n";
    const std::uint64_t index_list_at = at + 2;
    for (const auto& [name, entries] : {std::pair{"spectrum", &spectra}, std::pair{"chromatogram", &chromatograms}}) {
        out.append("    <index name=\"").append(name).append("\">\n");
        entries->for_each([&](std::string_view id, std::uint64_t offset) {
            out.append("      <offset idRef=\"").append(id).append("\">");
            append_number(out, offset);
            out.append("</offset>\n");
            if (out.size() >= piece) {
                write(out);
                out.clear();
            }
        });
        out.append("    </index>\n");
    }
    out.append("  </indexList>\n  <indexListOffset>");
    append_number(out, index_list_at);
    out.append("</indexListOffset>\n  <fileChecksum>");
    write(out);
}

std::string closing(const std::string& sha1_hex) { return sha1_hex + "</fileChecksum>\n</indexedmzML>\n"; }

}  // namespace exporter::mzml
