#include "store/whole_file.h"

namespace saplugin {

bool PlaceWholeFile(FileSystem& fs, const std::string& passing, const std::string& path, Placing placing,
                    const std::function<void()>& make) {
  try {
    make();
    if (placing == Placing::kOver ? fs.MoveOver(passing, path) : fs.MoveIfAbsent(passing, path)) return true;
    fs.DeleteFile(passing);
    return false;
  } catch (const Error&) {
    if (fs.FileExists(passing)) fs.DeleteFile(passing);
    throw;
  }
}

}  // namespace saplugin
