// A private folder under /tmp for the files of one test, removed with everything in it when
// the object goes. Paths are given by name inside the folder.
//
//   CTempFolder folder;
//   folder.Write("old.bin", "bytes");
//   download(folder.WidePath("old.bin"));
//   EXPECT_EQ(folder.Read("old.bin"), expected);
#ifndef ZVNET_TESTS_SUPPORT_TEMPFOLDER_H_
#define ZVNET_TESTS_SUPPORT_TEMPFOLDER_H_

#include <filesystem>
#include <string>

class CTempFolder {
 public:
  CTempFolder();
  ~CTempFolder();
  CTempFolder(const CTempFolder&) = delete;
  CTempFolder& operator=(const CTempFolder&) = delete;

  const std::filesystem::path& Root() const { return root; }
  std::filesystem::path Path(const std::string& name) const { return root / name; }
  // The path as the library's wide-string calls take it.
  std::wstring WidePath(const std::string& name) const { return Path(name).wstring(); }

  // The whole content of a file of the folder; empty when it cannot be read.
  std::string Read(const std::string& name) const { return ReadPath(Path(name)); }
  // Replaces the file's content with `bytes`.
  void Write(const std::string& name, const std::string& bytes) const {
    WritePath(Path(name), bytes);
  }
  // The same for any path.
  static std::string ReadPath(const std::filesystem::path& path);
  static void WritePath(const std::filesystem::path& path, const std::string& bytes);

 private:
  std::filesystem::path root;
};

#endif  // ZVNET_TESTS_SUPPORT_TEMPFOLDER_H_
