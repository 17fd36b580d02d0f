#include "run/ManifestPath.h"

#include "platform/DataFolder.h"
#include "platform/FileSystem.h"

std::string DefaultManifestPath(const std::string& dataFolder, std::time_t start) {
    std::tm local{};
    char name[40] = "run";
    if (LocalTime(start, &local))
        std::strftime(name, sizeof name, "%Y-%m-%dT%H-%M-%S", &local);
    const std::string audit = DataFilePath(dataFolder, "audit");
    std::string path = DataFilePath(audit, (std::string(name) + ".csv").c_str());
    for (int n = 2; InspectFile(path).exists && n < 1000; ++n)
        path = DataFilePath(audit, (std::string(name) + "-" + std::to_string(n) + ".csv").c_str());
    return path;
}
