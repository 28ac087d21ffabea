#include "UtilityLibrary.h"
#include "Backend.h"

namespace pinfile {

Text ulGetFileName(TextView path) {
    std::size_t start = path.size();
    while (start > 0 && !backend::IsSeparator(path[start - 1])) --start;
    return Text(path.substr(start));
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
