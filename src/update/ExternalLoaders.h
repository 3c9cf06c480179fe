#pragma once
// The external loader programs of a package ("HEXLoad_8N1.exe", "PIC32_Serial_Bootloader.exe")
// on this system: their argument vectors, and which program actually runs for "NAME.exe" in
// the program folder: a native build "NAME" when there is one, else "NAME.exe" through Wine
// with the COM port lent to Wine's device folder, else none.
#include <cstdint>
#include <string>
#include <vector>

namespace update {

inline constexpr const char* kHexLoaderProgram = "HEXLoad_8N1.exe";
inline constexpr const char* kPic32LoaderProgram = "PIC32_Serial_Bootloader.exe";

// The HEX loader's words after the program: the file, then "-com<N>", "-baudrate<9600 when
// the first program file carries the '@' flag, else 38400>", "-auto", "-exit".
std::vector<std::string> HexLoaderArguments(const std::string& file, int comNumber, bool atFlag);
// The PIC32 loader's: "-f" joined to the file, "-c" with the character '1' + port index
// (COM10 gives ':'), "-b7", "-a".
std::vector<std::string> Pic32LoaderArguments(const std::string& file, int portIndex);

// The image file as the loader gets it: the package's name resolved in the package folder
// without regard to case (a loader on this system would not find "FW.MOT" as "fw.mot"), and
// relative to the current folder when it lies below it.
std::string LoaderFileArgument(const std::string& packageFolder, const std::string& name);
// A path as a Windows program under Wine reads it: absolute paths on drive Z: (Wine's view
// of the root folder), '\' separators.
std::string WinePath(const std::string& path);

struct LoaderLaunch {
  enum class Kind { Native, Wine, Missing };
  Kind kind = Kind::Missing;
  std::vector<std::string> argv;  // the full argument vector, program first
  std::string winePrefix;         // with Wine: the prefix (its device folder is dosdevices)
};

// The Wine program: UPDATE_WINE when set (empty: Wine is not used), else "wine" along PATH.
// Empty when there is none.
std::string WineProgram();
// The Wine prefix: $WINEPREFIX, else ~/.wine.
std::string WinePrefix();
// True when Wine has set the prefix up (its drive links or its registry are there). The device folder must not
// be made before: Wine would then take the prefix for set up and leave out its drives.
bool WinePrefixReady(const std::string& prefix);

// What runs for windowsName in folder with the given arguments (the file argument, when
// it is a separate word or joined to "-f", is turned into a Windows path for Wine).
LoaderLaunch ChooseLoader(const std::string& folder, const std::string& windowsName,
                          const std::vector<std::string>& args, const std::string& fileArgument);

// Makes COM<comNumber> of a Wine prefix the device at devicePath: the link
// "<deviceFolder>/com<N>" (deviceFolder: the prefix's "dosdevices") is created or replaced. False with the reason in *error when the
// folder cannot be made, the name is taken by something that is not a link, or the device
// is not a path.
bool MapWinePort(const std::string& deviceFolder, int comNumber, const std::string& devicePath,
                 std::string* error);

}  // namespace update
