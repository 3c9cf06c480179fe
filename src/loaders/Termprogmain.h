#pragma once
// BasicLoaderProcedure: the PC side of the "Basic-Loader" terminal of older instruments. It
// sends no commands: it listens to the loader's plain text, turns the phrases it knows into
// notifications (TermPhrases.h) and, when the loader asks for its S-record file, sends the
// loader image ("L3_TermH.A37" or "L3_TermL.A37" by the instrument's boot character) in
// blocks of 2000 bytes handed to the port's transmit thread, one block per notification, so
// that the window stays responsive for the minutes the upload takes.
//
// Unlike the other procedures it has no Run that returns: it is made once, when the session
// has sent the instrument into its loader, and from then on takes every data notification of
// its port until the window goes away. Its end (programmed or aborted) is the end of this
// program run; the window learns it through the callback.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kernel/Events.h"
#include "loaders/TermPhrases.h"
#include "procedure/Infotext.h"
#include "procedure/Procedure.h"

namespace loaders {

class BasicLoaderProcedure {
 public:
  enum class Result { Running, Programmed, Aborted };

  // Registers the handler and switches the port to 19200 baud with RTS/CTS flow control,
  // once the image has been read and checked (a bad image ends the terminal at once and
  // leaves the line alone, so that the loader is not made to erase).
  BasicLoaderProcedure(const procedure::ProcedureContext& context, std::function<void(Result)> ended);
  ~BasicLoaderProcedure();
  BasicLoaderProcedure(const BasicLoaderProcedure&) = delete;
  BasicLoaderProcedure& operator=(const BasicLoaderProcedure&) = delete;

  // The window closes: no further block is written.
  void Abort() { aborted_ = true; }
  bool Aborted() const { return aborted_; }
  Result State() const { return result_; }
  std::size_t ImageSize() const { return image_.size(); }
  std::size_t BytesSent() const { return bytesSent_; }

  // The loader image for a boot character: '0' the H file, anything else the L file.
  static const char* ImageFileFor(char bootCharacter);
  // Reads and checks the image in the package folder; empty when it can be sent, else what is
  // wrong in the user's language, naming the file.
  static std::string CheckImage(const std::string& folder, char bootCharacter, std::int32_t language,
                                std::vector<std::uint8_t>* image = nullptr);

  static constexpr std::size_t kBlockBytes = 2000;
  static constexpr std::size_t kImageCap = 2500000;
  static constexpr std::size_t kReadChunk = 150;  // bytes taken from the port per read
  // The loader answers within seconds (its erase, each record); this long without a word from
  // it and without a block taken by the line ends the run.
  static constexpr std::uint32_t kSilenceLimitMs = 30000;
  // A busy transmit thread is asked again after this pause rather than at once.
  static constexpr std::uint32_t kBusyRetryMs = 20;
  static constexpr std::int32_t kAbortCode = 2;

 private:
  using PhaseFn = void (BasicLoaderProcedure::*)();
  struct PhaseDef {
    std::int32_t code;
    const char* name;
    PhaseFn run;
  };
  static const PhaseDef kPhases[];

  kernel::Event Handler(kernel::EventQueue& sender, kernel::Event ev);
  void OnReceive();

  // ---- the loader's phases ----
  void Preparing();
  void StartUpload();
  void SendBlock();
  void Programmed();
  void Defect();
  void AbortRun();

  void Fail(const std::string& text);
  void End(Result result);
  void StopTimers();
  std::string Message(procedure::Msg msg) const { return procedure::Text(msg, ctx_.language); }

  procedure::ProcedureContext ctx_;
  std::function<void(Result)> ended_;
  Result result_ = Result::Running;
  bool aborted_ = false;
  bool uploading_ = false;
  std::string imageName_;
  std::vector<std::uint8_t> image_;
  std::size_t bytesSent_ = 0;
  term::PhraseMatcher matcher_;
  std::int32_t silenceTimer_ = 0;
  std::int32_t retryTimer_ = 0;
};

}  // namespace loaders
