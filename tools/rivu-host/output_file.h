#pragma once
#include <cstdio>
#include <string>

namespace rivu::host {

// A file the recorder writes into, opened before the instrument starts so
// that a path that cannot be written is reported at once. "-" is standard
// output. An existing file is refused unless overwriting was asked for; even
// then its contents stay until the recording begins (Begin), so a run that
// fails before that leaves it as it was.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False with error set (the system's reason) when the file cannot be
    // opened, or exists and overwrite is false. binary: bytes are written
    // as they are (no line-end translation on Windows).
    bool Open(const std::string& path, bool overwrite, std::string& error, bool binary = false);
    // Empties a file that existed before; false on a write error.
    bool Begin();
    // Text written as it is; write errors are kept for Flush and Close.
    void Write(const std::string& text);
    // Hands what was written to the system; false (error set) after a write
    // error.
    bool Flush(std::string& error);
    // Flushes and closes; false (error set) when something was not written.
    bool Close(std::string& error);
    // After Begin: hands the stream over to a writer that closes it itself.
    std::FILE* Release();
    // After a write error: closes the file and cuts it back to its last
    // complete line, so that it ends whole (a row is never left half
    // written). Nothing for standard output.
    void CloseAtLastLine();
    // Closes and removes the file when this run created it (used when a run
    // ends before recording).
    void Discard();

    const std::string& Path() const { return path_; }
    bool IsStandardOutput() const { return path_ == "-"; }
    bool IsOpen() const { return stream_ != nullptr; }

private:
    std::string path_;
    std::FILE* stream_ = nullptr;
    bool created_ = false;
    bool begun_ = false;
    int writeError_ = 0;
};

}  // namespace rivu::host
