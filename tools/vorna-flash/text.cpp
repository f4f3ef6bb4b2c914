#include "text.h"

namespace vf {

namespace {

// A formula start, after any ' already in front (those get one more, so that reading back is exact).
bool looksLikeFormula(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == '\'')
        ++i;
    return i < text.size() && (text[i] == '=' || text[i] == '+' || text[i] == '-' || text[i] == '@');
}

}  // namespace

std::string csvField(const std::string& text)
{
    const bool formula = looksLikeFormula(text);
    if (!formula && text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = formula ? "\"'" : "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string csvValue(const std::string& field)
{
    if (!field.empty() && field[0] == '\'' && looksLikeFormula(field))
        return field.substr(1);
    return field;
}

bool nextCsvRecord(const std::string& text, std::size_t& pos, std::vector<std::string>& fields, bool textEnds)
{
    std::vector<std::string> record;
    std::string field;
    bool quoted = false;
    for (std::size_t i = pos; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            record.push_back(std::move(field));
            field.clear();
        } else if (c == '\n') {
            record.push_back(std::move(field));
            fields = std::move(record);
            pos = i + 1;
            return true;
        } else if (c != '\r') {
            field += c;
        }
    }
    if (quoted || !textEnds)
        return false;
    record.push_back(std::move(field));
    fields = std::move(record);
    pos = text.size();
    return true;
}

}  // namespace vf
