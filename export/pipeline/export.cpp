#include "export/pipeline/export.hpp"

#include "export/encoding/xml_text.hpp"
#include "export/output/paths.hpp"
#include "platform.hpp"

namespace exporter {

std::expected<ExportResult, std::string> export_spectra(reader::Reader reader, const SourceFile& source,
                                                       const ExportOptions& options, const RunContext& context,
                                                       OutputFile& out) {
    if (options.format == Format::Mgf) {
        auto writer = mgf_writer(out);
        return run_pipeline(std::move(reader), source.path, options.selection, options.processing, *writer, context);
    }
    MzmlRun run;
    run.info.run_id = to_xml_name(reader.source_name());
    run.info.source_name = file_name_of(source.path);
    run.info.source_location = file_uri(platform::absolute_directory(directory_of(source.path)));
    run.info.source_sha1 = std::string(40, '0');
    run.info.start_time = reader.acquired_at();
    run.info.scan_number_ids = reader.variant() == reader::FileVariant::Qtfl;
    run.info.centroided = options.processing.centroid;
    run.may_hold_transitions = reader.variant() == reader::FileVariant::Gcms;  // only GC-MS files hold MRM transitions
    auto writer = mzml_writer(out, std::move(run), options.mzml, source);
    return run_pipeline(std::move(reader), source.path, options.selection, options.processing, *writer, context);
}

std::string points_table_path(const std::string& spectra_table_path) {
    std::string path = spectra_table_path;
    if (path.ends_with(spectra_table_suffix)) path.resize(path.size() - spectra_table_suffix.size());
    return path + std::string(points_table_suffix);
}

std::expected<ExportResult, std::string> export_columnar(reader::Reader reader, const SourceFile& source,
                                                         const ExportOptions& options, const RunContext& context,
                                                         OutputFile& spectra, OutputFile& points) {
    TablesRun run{reader::layout_name(reader.variant()), reader.acquired_at(), options.selection, options.processing,
                  options.mzml.srm_as_spectra};
    auto writer = tables_writer(spectra, points, std::move(run), source);
    return run_pipeline(std::move(reader), source.path, options.selection, options.processing, *writer, context);
}

}  // namespace exporter
