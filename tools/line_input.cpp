#include "line_input.h"

#include "console.h"

namespace {

class ScriptInput : public LineInput {
  public:
    explicit ScriptInput(int32_t input) : input_(input) {}

    Result Read(std::string* line) override {
        for (;;) {
            size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                *line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return Result::Line;
            }
            if (ended_) {
                if (buffer_.empty()) {
                    return Result::End;
                }
                *line = std::move(buffer_);  // a last line without a line feed
                buffer_.clear();
                return Result::Line;
            }
            char chunk[4096];
            int32_t count = PlatReadInput(input_, chunk, sizeof chunk);
            if (count == PLAT_INPUT_INTERRUPTED) {
                return Result::Interrupted;
            }
            if (count <= 0) {
                ended_ = true;  // a read error ends the input like its end does
            } else {
                buffer_.append(chunk, static_cast<size_t>(count));
            }
        }
    }

  private:
    int32_t input_;
    std::string buffer_;
    bool ended_ = false;
};

}  // namespace

std::unique_ptr<LineInput> MakeScriptInput(int32_t input) {
    return std::make_unique<ScriptInput>(input);
}
