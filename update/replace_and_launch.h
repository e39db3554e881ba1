// The last phase of the update: the verified download takes the place of the running
// executable, and whatever ended up usable is started.
#pragma once

// Renames exePath to exePath + ".old", moves tempPath into exePath (restoring the old
// file when that cannot be done), starts the result with exeDir as working directory
// and posts the successful end (WM_UPDATER_DONE with 1). False, with nothing posted,
// when Windows would not start the result; the files stay as they are then. True, with
// nothing done, when the window is already gone.
bool ReplaceAndLaunch(const wchar_t* exePath, const wchar_t* exeDir, const wchar_t* tempPath);
