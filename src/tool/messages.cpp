#include "messages.h"

#include "platform/console_and_files.h"

namespace vorik {

namespace {
constexpr char PROGRESS_LINE_FORMAT[] = "L%8.3fdB | R%8.3fdB | LR%8.3fdB\r";
}

// Shift_JIS bytes are spelled in octal: a hex escape would swallow the
// ASCII letters that follow it. Each text stays on one line, beside its twin.
// clang-format off

const Message MESSAGE_USAGE = {
    "\210\370\220\224\202\311wav\203t\203@\203C\203\213\202\3602\202\302\216w\222\350\202\265\202\304\202\255\202\276\202\263\202\242\201B\n",
    "引数にwavファイルを2つ指定してください。\n"};

const Message MESSAGE_OPEN_FAILED = {
    "\203t\203@\203C\203\213\202\306\212J\202\257\202\334\202\271\202\361\n",
    "ファイルと開けません\n"};

const Message MESSAGE_NOT_WAV = {
    "wav\203t\203@\203C\203\213\202\306\224F\216\257\202\305\202\253\202\310\202\242\202\275\202\337\214v\216Z\202\305\202\253\202\334\202\271\202\361\n",
    "wavファイルと認識できないため計算できません\n"};

const Message MESSAGE_SAMPLE_RATES_DIFFER = {
    "\203T\203\223\203v\203\212\203\223\203O\203\214\201[\203g\202\252\210\331\202\310\202\351\202\275\202\337\214v\216Z\202\305\202\253\202\334\202\271\202\361\n",
    "サンプリングレートが異なるため計算できません\n"};

const Message MESSAGE_SAMPLE_WIDTHS_DIFFER = {
    "\227\312\216q\211\273\203r\203b\203g\220\224\202\252\210\331\202\310\202\351\202\275\202\337\214v\216Z\202\305\202\253\202\334\202\271\202\361\n",
    "量子化ビット数が異なるため計算できません\n"};

const Message MESSAGE_SAMPLE_WIDTH_NOT_16 = {
    "\227\312\216q\211\273\203r\203b\203g\220\224\202\25216\203r\203b\203g\202\305\202\315\202\310\202\242\202\275\202\337\214v\216Z\202\305\202\253\202\334\202\271\202\361\n",
    "量子化ビット数が16ビットではないため計算できません\n"};

const Message MESSAGE_CHANNELS_DIFFER = {
    "\203`\203\203\203\223\203l\203\213\220\224\202\252\210\331\202\310\202\351\202\275\202\337\214v\216Z\202\305\202\253\202\334\202\271\202\361\n",
    "チャンネル数が異なるため計算できません\n"};

const Message MESSAGE_EMPTY_BLOCK = {
    "\203T\203\223\203v\203\212\203\223\203O\203\214\201[\203g\202\334\202\275\202\315\203`\203\203\203\223\203l\203\213\220\224\202\252\220\263\202\265\202\255\202\310\202\242\202\275\202\337\214v\216Z\202\305\202\253\202\334\202\271\202\361\n",
    "サンプリングレートまたはチャンネル数が正しくないため計算できません\n"};

const Message MESSAGE_OUT_OF_MEMORY = {
    "\203\201\203\202\203\212\202\360\212m\225\333\202\305\202\253\202\310\202\242\202\275\202\337\214v\216Z\202\305\202\253\202\334\202\271\202\361\n",
    "メモリを確保できないため計算できません\n"};

const Message MESSAGE_READ_FAILED = {
    "\n\203t\203@\203C\203\213\202\360\223\307\202\335\215\236\202\337\202\310\202\242\202\275\202\337\214v\216Z\202\360\222\206\222f\202\265\202\334\202\267\201B\n",
    "\nファイルを読み込めないため計算を中断します。\n"};

const Message MESSAGE_WRITE_FAILED = {
    "\n\214\213\211\312\202\360\217\221\202\253\215\236\202\337\202\310\202\242\202\275\202\337\214v\216Z\202\360\222\206\222f\202\265\202\334\202\267\201B\n",
    "\n結果を書き込めないため計算を中断します。\n"};

const Message MESSAGE_SIZES_DIFFER = {
    "\n\203t\203@\203C\203\213\203T\203C\203Y\202\252\210\331\202\310\202\351\202\275\202\337\214v\216Z\202\360\222\206\222f\202\265\202\334\202\267\201B\n",
    "\nファイルサイズが異なるため計算を中断します。\n"};

const Message MESSAGE_FINISHED = {
    "\n\214v\216Z\217I\227\271\201B\n",
    "\n計算終了。\n"};

// clang-format on

const Message* const ALL_MESSAGES[] = {
    &MESSAGE_USAGE,
    &MESSAGE_OPEN_FAILED,
    &MESSAGE_NOT_WAV,
    &MESSAGE_SAMPLE_RATES_DIFFER,
    &MESSAGE_SAMPLE_WIDTHS_DIFFER,
    &MESSAGE_SAMPLE_WIDTH_NOT_16,
    &MESSAGE_CHANNELS_DIFFER,
    &MESSAGE_EMPTY_BLOCK,
    &MESSAGE_OUT_OF_MEMORY,
    &MESSAGE_READ_FAILED,
    &MESSAGE_WRITE_FAILED,
    &MESSAGE_SIZES_DIFFER,
    &MESSAGE_FINISHED,
};
const int ALL_MESSAGES_COUNT = static_cast<int>(sizeof ALL_MESSAGES / sizeof ALL_MESSAGES[0]);

void write_message(std::FILE* out, const Message& message, bool unicode) {
    if (unicode) {
        write_to_terminal(out, message.utf8);
    } else {
        std::fputs(message.shift_jis, out);
    }
}

void write_progress_line(std::FILE* out, const PsnrResult& result) {
    const double mean_db = (result.left_db + result.right_db) * 0.5;
    std::fprintf(out, PROGRESS_LINE_FORMAT, result.left_db, result.right_db, mean_db);
}

}  // namespace vorik
