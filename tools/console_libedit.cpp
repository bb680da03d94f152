// The interactive console with libedit: emacs-style line editing, a history kept across runs in
// a file only its owner can read, and Tab completion through the host's completer. libedit reads
// its characters through ReadCharacter, so that an interrupt ends the wait for a key whichever
// thread the signal reached.

#include <fcntl.h>
#include <histedit.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <cwchar>

#include "console.h"
#include "line_input.h"

namespace {

constexpr int kHistorySize = 1000;

class EditConsole : public LineInput {
  public:
    EditConsole(int32_t input, FILE* out, std::string prompt, Completer completer,
                std::string historyFile)
        : input_(input),
          out_(out),
          prompt_(std::move(prompt)),
          completer_(std::move(completer)),
          historyPath_(std::move(historyFile)) {
        // libedit decodes keys and encodes lines in the locale's character set: take the
        // user's, and UTF-8 where the environment names none.
        const char* locale = setlocale(LC_CTYPE, "");
        if (locale == nullptr || strcmp(locale, "C") == 0 || strcmp(locale, "POSIX") == 0) {
            setlocale(LC_CTYPE, "C.UTF-8");
        }
        history_ = history_init();
        HistEvent event;
        history(history_, &event, H_SETSIZE, kHistorySize);
        history(history_, &event, H_SETUNIQUE, 1);
        if (!historyPath_.empty()) {
            history(history_, &event, H_LOAD, historyPath_.c_str());
        }
        editor_ = el_init("kestrel-host", stdin, out_, stderr);
        el_set(editor_, EL_CLIENTDATA, this);
        el_set(editor_, EL_EDITOR, "emacs");
        el_set(editor_, EL_PROMPT, &EditConsole::Prompt);
        el_set(editor_, EL_HIST, history, history_);
        el_set(editor_, EL_GETCFN, &EditConsole::ReadCharacter);
        // The wide form: the narrow one keeps copies of the two texts that are never freed.
        el_wset(editor_, EL_ADDFN, L"kestrel-complete", L"complete a method or object name",
                &EditConsole::Complete);
        el_set(editor_, EL_BIND, "^I", "kestrel-complete", nullptr);
    }

    ~EditConsole() override {
        el_end(editor_);
        history_end(history_);
    }

    Result Read(std::string* line) override {
        interrupted_ = false;
        int count = 0;
        const char* text = el_gets(editor_, &count);
        if (text == nullptr || count <= 0) {
            if (interrupted_) {
                // Ctrl-C drops what was typed: a fresh line and an empty editing buffer.
                fputs("\n", out_);
                fflush(out_);
                el_reset(editor_);
                return Result::Interrupted;
            }
            fputs("\n", out_);
            fflush(out_);
            return Result::End;
        }
        *line = text;
        while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) {
            line->pop_back();
        }
        return Result::Line;
    }

    void Remember(const std::string& line) override {
        if (line.find_first_not_of(" \t") == std::string::npos) {
            return;
        }
        HistEvent event;
        history(history_, &event, H_ENTER, line.c_str());
        Save();
    }

    bool ReadSecret(const std::string& prompt, std::string* secret) override {
        termios saved{};
        if (tcgetattr(input_, &saved) != 0) {
            return false;
        }
        termios hidden = saved;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        hidden.c_lflag |= ICANON | ECHONL;
        // Echo goes off before the prompt shows, and nothing typed is dropped.
        if (tcsetattr(input_, TCSANOW, &hidden) != 0) {
            return false;
        }
        fputs(prompt.c_str(), out_);
        fflush(out_);
        secret->clear();
        bool complete = false;
        for (;;) {
            char byte = 0;
            if (PlatReadInput(input_, &byte, 1) != 1) {
                break;  // the end, a failure or an interrupt: no secret
            }
            if (byte == '\n') {
                complete = true;
                break;
            }
            if (byte != '\r') {
                *secret += byte;
            }
        }
        tcsetattr(input_, TCSANOW, &saved);
        if (!complete) {
            fputs("\n", out_);
            fflush(out_);
        }
        return complete;
    }

  private:
    static EditConsole* Of(EditLine* editor) {
        void* self = nullptr;
        el_get(editor, EL_CLIENTDATA, &self);
        return static_cast<EditConsole*>(self);
    }

    static char* Prompt(EditLine* editor) { return const_cast<char*>(Of(editor)->prompt_.c_str()); }

    static int ReadCharacter(EditLine* editor, wchar_t* character) {
        EditConsole* self = Of(editor);
        mbstate_t state{};
        for (;;) {
            char byte = 0;
            int32_t count = PlatReadInput(self->input_, &byte, 1);
            if (count == PLAT_INPUT_INTERRUPTED) {
                self->interrupted_ = true;
                errno = EINTR;
                return -1;
            }
            if (count <= 0) {
                return count == 0 ? 0 : -1;
            }
            size_t used = mbrtowc(character, &byte, 1, &state);
            if (used == static_cast<size_t>(-2)) {
                continue;  // more bytes of one character to come
            }
            if (used == static_cast<size_t>(-1)) {
                *character = L'?';  // not a character of the locale's set
            }
            return 1;
        }
    }

    static unsigned char Complete(EditLine* editor, int) {
        EditConsole* self = Of(editor);
        const LineInfo* info = el_line(editor);
        std::string before(info->buffer, static_cast<size_t>(info->cursor - info->buffer));
        size_t start = before.find_last_of(" \t");
        start = start == std::string::npos ? 0 : start + 1;
        std::string prefix = before.substr(start);
        std::vector<std::string> candidates = self->completer_(before);
        if (candidates.empty()) {
            return CC_REFRESH_BEEP;
        }
        std::sort(candidates.begin(), candidates.end());
        candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
        std::string common = candidates[0];
        for (const std::string& candidate : candidates) {
            size_t same = 0;
            while (same < common.size() && same < candidate.size() &&
                   common[same] == candidate[same]) {
                ++same;
            }
            common.resize(same);
        }
        if (candidates.size() == 1) {
            el_insertstr(editor, (common.substr(prefix.size()) + " ").c_str());
            return CC_REFRESH;
        }
        if (common.size() > prefix.size()) {
            el_insertstr(editor, common.substr(prefix.size()).c_str());
            return CC_REFRESH;
        }
        // Nothing to add: show what the word can become, then the line again.
        fputs("\n", self->out_);
        for (const std::string& candidate : candidates) {
            fprintf(self->out_, "%s  ", candidate.c_str());
        }
        fputs("\n", self->out_);
        fflush(self->out_);
        return CC_REDISPLAY;
    }

    // Writes the history through a descriptor made for its owner alone, so that the file never
    // exists with wider permissions, not even for a moment.
    void Save() {
        if (historyPath_.empty()) {
            return;
        }
        int fd =
            open(historyPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            return;
        }
        fchmod(fd, 0600);
        FILE* file = fdopen(fd, "w");
        if (file == nullptr) {
            close(fd);
            return;
        }
        HistEvent event;
        history(history_, &event, H_SAVE_FP, file);
        fclose(file);
    }

    int32_t input_;
    FILE* out_;
    std::string prompt_;
    Completer completer_;
    std::string historyPath_;
    History* history_ = nullptr;
    EditLine* editor_ = nullptr;
    bool interrupted_ = false;
};

}  // namespace

std::unique_ptr<LineInput> MakeConsoleInput(int32_t input, FILE* out, const std::string& prompt,
                                            Completer completer, const std::string& historyFile) {
    return std::make_unique<EditConsole>(input, out, prompt, std::move(completer), historyFile);
}
