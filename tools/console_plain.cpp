// The interactive console where libedit is not used: the prompt, then a line as the terminal
// delivers it (the Windows console edits lines and keeps a history of its own).

#include "console.h"
#include "line_input.h"

namespace {

class PlainConsole : public LineInput {
  public:
    PlainConsole(int32_t input, FILE* out, std::string prompt)
        : lines_(MakeScriptInput(input)), input_(input), out_(out), prompt_(std::move(prompt)) {}

    Result Read(std::string* line) override {
        fputs(prompt_.c_str(), out_);
        fflush(out_);
        Result result = lines_->Read(line);
        if (result == Result::Line && !line->empty() && line->back() == '\r') {
            line->pop_back();
        }
        if (result == Result::Interrupted) {
            // What was typed so far went with the Ctrl-C; start on a fresh line.
            lines_ = MakeScriptInput(input_);
            fputs("\n", out_);
        }
        return result;
    }

  private:
    std::unique_ptr<LineInput> lines_;
    int32_t input_;
    FILE* out_;
    std::string prompt_;
};

}  // namespace

std::unique_ptr<LineInput> MakeConsoleInput(int32_t input, FILE* out, const std::string& prompt,
                                            Completer, const std::string&) {
    return std::make_unique<PlainConsole>(input, out, prompt);
}
