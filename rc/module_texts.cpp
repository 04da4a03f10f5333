#include "rc/module_texts.h"

#include <utility>

ModuleTexts::ModuleTexts(std::string prefix, std::string suffix)
    : prefix_(std::move(prefix)), suffix_(std::move(suffix)) {}

const std::string& ModuleTexts::of(std::size_t index) {
    while (texts_.size() <= index) texts_.push_back(prefix_ + std::to_string(texts_.size() + 1) + suffix_);
    return texts_[index];
}
