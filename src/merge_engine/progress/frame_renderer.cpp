#include "merge_engine/progress/frame_renderer.hpp"

#include "merge_engine/progress/duration_text.hpp"

namespace quillmoor {

namespace {

void append_styled(std::string& out, std::string_view text, const TextStyle& style,
                   bool colours) {
    if (colours && !style.plain() && !text.empty()) {
        out += style.escape;
        out += text;
        out += STYLE_RESET;
    } else {
        out += text;
    }
}

std::string repeated(std::string_view glyph, std::size_t count) {
    std::string cells;
    cells.reserve(glyph.size() * count);
    for (std::size_t k = 0; k < count; ++k) {
        cells += glyph;
    }
    return cells;
}

}  // namespace

std::size_t filled_cells(const FrameState& state, std::size_t width) {
    const std::uint64_t position = state.position;
    if (position >= state.length) {
        return width;
    }
    // floor(position * width / length) by repeated addition modulo length: exact for
    // every 64-bit count, where the product itself could overflow.
    const std::uint64_t step_back = state.length - position;
    std::uint64_t remainder = 0;
    std::size_t filled = 0;
    for (std::size_t k = 0; k < width; ++k) {
        if (remainder >= step_back) {
            remainder -= step_back;
            ++filled;
        } else {
            remainder += position;
        }
    }
    return filled;
}

std::string render_frame(const ProgressStyle& style, const FrameState& state, bool colours) {
    std::string out;
    for (const TemplatePart& part : style.parts()) {
        if (!part.field.has_value()) {
            out += part.literal;
            continue;
        }
        switch (*part.field) {
        case TemplateField::spinner:
            append_styled(out,
                          state.finished ? FINISHED_SPINNER_FRAME
                                         : SPINNER_FRAMES[state.spinner_tick % SPINNER_FRAMES.size()],
                          part.style, colours);
            break;
        case TemplateField::elapsed_precise:
            append_styled(out, format_elapsed_precise(state.elapsed), part.style, colours);
            break;
        case TemplateField::bar: {
            const std::size_t filled = filled_cells(state, part.width);
            append_styled(out, repeated(FILLED_CELL, filled), part.style, colours);
            append_styled(out, repeated(EMPTY_CELL, part.width - filled), part.alt_style, colours);
            break;
        }
        case TemplateField::pos:
            append_styled(out, std::to_string(state.position), part.style, colours);
            break;
        case TemplateField::len:
            append_styled(out, std::to_string(state.length), part.style, colours);
            break;
        case TemplateField::eta: {
            const auto remaining = state.finished
                                       ? std::optional(std::chrono::nanoseconds::zero())
                                       : estimate_remaining(state.position, state.length,
                                                            state.elapsed);
            append_styled(out, format_eta(remaining), part.style, colours);
            break;
        }
        case TemplateField::msg:
            append_styled(out, state.message, part.style, colours);
            break;
        }
    }
    return out;
}

}  // namespace quillmoor
