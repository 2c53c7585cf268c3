// velmo-crashlog FILE: prints a stored crash report as a text crash log, or, when the file cannot
// be read as one, the reason in one line and exit status 1.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "platform/base/WholeFile.h"
#include "crashreporter/report/ZVCrashReport.h"
#include "crashreporter/report/ZVCrashReportTextFormatter.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: velmo-crashlog FILE" << std::endl;
        return 2;
    }
    velmo::FileReadFailure failure;
    const auto contents = velmo::readWholeFile(argv[1], &failure);
    if (!contents) {
        std::cerr << argv[1] << ": " << std::strerror(failure.error) << std::endl;
        return 1;
    }
    std::vector<uint8_t> bytes(contents->begin(), contents->end());
    std::optional<velmo::Error> error;
    auto report = zvcrash::ZVCrashReport::fromData(bytes, &error);
    if (!report) {
        std::cerr << argv[1] << ": " << (error ? error->message() : std::string("unreadable crash report")) << std::endl;
        return 1;
    }
    zvcrash::ZVCrashReportTextFormatter formatter(zvcrash::ZVCrashReportTextFormat::iOS, zvcrash::ZVCrashReportStringEncoding::UTF8);
    std::cout << formatter.formatReport(*report) << std::flush;
    return std::cout ? 0 : 1;
}
