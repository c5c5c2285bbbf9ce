// The receiving side of the folder watch. The names and values follow the
// efsw library's interface, so that the storage watcher is written against
// that library; FileWatcher.h implements the part of it we use over inotify.
#pragma once

#include <cstdint>
#include <string>

namespace efsw {

// Identifies one installed watch; negative values are errors (Errors::Error).
typedef int64_t WatchID;

namespace Actions {
enum Action {
    Add = 1,        // a file or folder appeared (created, or moved in from outside the watched folder)
    Delete = 2,     // it went (deleted, or moved out of the watched folder)
    Modified = 3,   // a writer closed it
    Moved = 4,      // renamed inside the watched folder; oldFilename carries the previous name
};
}
typedef Actions::Action Action;

namespace Errors {
enum Error {
    NoError = 0,
    FileNotFound = -1,      // the folder does not exist or is not a folder
    FileRepeated = -2,      // the folder is already watched
    FileOutOfScope = -3,
    FileNotReadable = -4,   // the folder cannot be listed
    FileRemote = -5,
    Unspecified = -6,       // anything else, including a request for a recursive watch
};
}
typedef Errors::Error Error;

// Called on the watcher's event thread, one event at a time, in the order in
// which the kernel reported them.
class FileWatchListener {
public:
    virtual ~FileWatchListener() {}
    // `dir` is the watched folder as given to addWatch; `filename` is the
    // entry's name inside it (for Moved, its new name).
    virtual void handleFileAction(WatchID watchid, const std::string& dir, const std::string& filename,
                                  Action action, std::string oldFilename = "") = 0;
};

}  // namespace efsw
