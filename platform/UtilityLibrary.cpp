#include "UtilityLibrary.h"
#include "Backend.h"

namespace pinfile {

Text ulGetFileName(TextView path) {
    std::size_t start = path.size();
    while (start > 0 && !backend::IsSeparator(path[start - 1])) --start;
    return Text(path.substr(start));
}

Text FolderOf(TextView path) {
    std::size_t end = path.size();
    while (end > 0 && !backend::IsSeparator(path[end - 1])) --end;
    if (end == 0) return FromUtf8(u8".");
    return Text(path.substr(0, end == 1 ? 1 : end - 1));
}

Text ulBuildFileName(TextView directory, TextView fileName) {
    while (!fileName.empty() && backend::IsSeparator(fileName.front())) fileName.remove_prefix(1);
    Text path(directory);
    if (!path.empty() && !backend::IsSeparator(path.back())) {
        path.push_back(backend::kPreferredSeparator);
    }
    path.append(fileName);
    return path;
}

}  // namespace pinfile
