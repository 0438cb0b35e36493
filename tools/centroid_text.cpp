// The centroider over spectra given as text, for comparing it with other peak pickers: on
// standard input, one "m/z intensity" pair a line, spectra parted by an empty line; on standard
// output, each spectrum's peaks as "m/z height" lines, spectra parted the same way.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "export/processing/centroid.hpp"

namespace {

void write_peaks(std::vector<double>& mz, std::vector<float>& intensity) {
    const exporter::Centroids peaks = exporter::centroid(mz, intensity);
    for (std::size_t i = 0; i < peaks.mz.size(); ++i) std::printf("%.10f %.6f\n", peaks.mz[i], peaks.intensity[i]);
    std::printf("\n");
    mz.clear();
    intensity.clear();
}

}  // namespace

int main() {
    std::vector<double> mz;
    std::vector<float> intensity;
    std::string line;
    bool open = false;
    while (std::getline(std::cin, line)) {
        if (line.empty()) {
            write_peaks(mz, intensity);
            open = false;
            continue;
        }
        std::istringstream fields(line);
        double x = 0;
        float y = 0;
        if (!(fields >> x >> y)) {
            std::fprintf(stderr, "centroid_text: not an \"m/z intensity\" line: %s\n", line.c_str());
            return 1;
        }
        mz.push_back(x);
        intensity.push_back(y);
        open = true;
    }
    if (open) write_peaks(mz, intensity);
    return 0;
}
