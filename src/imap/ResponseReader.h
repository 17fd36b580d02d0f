// Cuts the server's byte stream into responses, however the stream was split
// into reads. A response is one line, together with the literals ({n} CR LF
// and n bytes) that it announces. Only the first bytes of a response are kept,
// enough to recognise it; the numbers of a "* SEARCH" response, and the ALL
// set of a "* ESEARCH" response, are parsed as they stream by, so memory stays
// small whatever the server sends. A literal's bytes go to a sink when one
// asks for them (a header block, or a message body on its way to a file).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Where the bytes of a literal go, when anywhere.
class ILiteralSink {
public:
    virtual ~ILiteralSink() = default;
    // A literal of size bytes begins; headSoFar is the response's first
    // bytes up to its announcement. True: the bytes go to LiteralData.
    virtual bool BeginLiteral(std::string_view headSoFar, uint64_t size) = 0;
    virtual void LiteralData(const char* data, size_t size) = 0;
    virtual void EndLiteral() = 0;
};

class CResponseReader {
public:
    struct Response {
        std::string_view head;        // first bytes of the response, without its CR LF
        bool headComplete;            // head is the whole response
        bool isSearch;                // an untagged SEARCH or ESEARCH response
        bool searchValid;             // ... whose numbers were all well-formed (1 to 4294967295)
        bool searchOverflow;          // ... that named more numbers than the search limit
        bool esearch = false;         // ... an ESEARCH response (RFC 4731, IMAP4rev2)
        bool esearchUid = false;      // ... whose numbers are UIDs
        std::string_view esearchTag;  // ... the tag it names ("" when none)
    };

    static constexpr size_t kHeadMax = 4096;
    static constexpr uint64_t kDefaultMaxResponse = 64ull << 20;
    // No search result is taken with more numbers than this (8 MB of them).
    static constexpr size_t kMaxSearchNumbers = 2'000'000;

    explicit CResponseReader(uint64_t maxResponse = kDefaultMaxResponse)
        : m_maxResponse(maxResponse) {
        m_head.reserve(kHeadMax);
    }

    // Feeds bytes; calls onResponse(const Response&) for each complete response.
    // Returns false once a response grew beyond the limit; the reader then
    // stays failed until Reset.
    template <typename F>
    bool Feed(const char* data, size_t size, F&& onResponse);

    // Numbers of the SEARCH response just delivered; may be moved from.
    std::vector<uint32_t>& SearchNumbers() { return m_numbers; }
    // A SEARCH line with more numbers than this is not kept (it overflows).
    void SetSearchLimit(size_t limit) { m_searchLimit = limit; }
    // The largest response taken (a message body fetched whole is streamed
    // to its sink, not held, so it may be larger than the default).
    void SetMaxResponse(uint64_t max) { m_maxResponse = max; }
    void SetLiteralSink(ILiteralSink* sink) { m_sink = sink; }

    void Reset();
    // Nothing of a response has been read since the last one ended.
    bool Idle() const { return m_length == 0 && m_mode == Mode::Line && !m_failed; }

private:
    enum class Mode { Line, Search, ESearch, Literal };

    // Returns true when a complete response is ready in m_head.
    bool EndOfLine();
    void StartResponse();
    void CheckSearchPrefix();
    enum class SearchStep { More, End, Malformed };
    SearchStep SearchByte(char c);
    SearchStep ESearchByte(char c);
    // The ESEARCH item just read: a word, a correlator, a value skipped.
    bool ESearchItemEnds();
    void PushNumber();
    bool PushRange(uint64_t first, uint64_t last);
    void SearchInvalid();
    void TrackTail(const char* p, size_t n);

    uint64_t m_maxResponse;
    ILiteralSink* m_sink = nullptr;
    bool m_sinking = false;  // the literal in progress goes to m_sink
    std::string m_head;
    bool m_headComplete = true;
    uint64_t m_length = 0;  // bytes of the response so far
    Mode m_mode = Mode::Line;
    uint64_t m_literalLeft = 0;
    bool m_prefixChecked = false;
    size_t m_prefixWant = 9;  // "* SEARCH ", or "* ESEARCH " once its first 9 bytes match
    bool m_isSearch = false;
    bool m_isESearch = false;
    bool m_searchValid = true;
    bool m_searchOverflow = false;
    size_t m_searchLimit = kMaxSearchNumbers;
    bool m_searchCR = false;
    uint64_t m_value = 0;
    int m_digits = 0;
    std::vector<uint32_t> m_numbers;
    // ESEARCH: what is being read, the word or correlator so far, the tag
    // named, whether UIDs; the first number of a range "a:b" (0: none).
    enum class ESearchPart { Word, Correlator, Value, All } m_esPart = ESearchPart::Word;
    std::string m_esWord;
    std::string m_esTag;
    bool m_esUid = false;
    int m_esDepth = 0;
    bool m_esQuoted = false;
    uint64_t m_esFirst = 0;
    char m_tail[24] = {};  // last bytes of the line part since the last literal
    size_t m_tailLen = 0;
    bool m_failed = false;
};

template <typename F>
bool CResponseReader::Feed(const char* data, size_t size, F&& onResponse) {
    size_t pos = 0;
    while (pos < size && !m_failed) {
        if (m_mode == Mode::Literal) {
            const uint64_t take = std::min<uint64_t>(m_literalLeft, size - pos);
            if (m_sinking)
                m_sink->LiteralData(data + pos, static_cast<size_t>(take));
            m_literalLeft -= take;
            pos += static_cast<size_t>(take);
            if (m_literalLeft == 0) {
                m_mode = Mode::Line;
                if (std::exchange(m_sinking, false))
                    m_sink->EndLiteral();
            }
            continue;
        }
        if (m_mode == Mode::Search || m_mode == Mode::ESearch) {
            const bool esearch = m_mode == Mode::ESearch;
            while (pos < size) {
                const SearchStep step = esearch ? ESearchByte(data[pos]) : SearchByte(data[pos]);
                if (step == SearchStep::Malformed)
                    break;  // m_mode is Line now: the rest is read as a plain line
                ++pos;
                // Checked per byte: the line's end would reset the count.
                if (++m_length > m_maxResponse) {
                    m_failed = true;
                    break;
                }
                if (step == SearchStep::End) {
                    onResponse(Response{m_head, m_headComplete, true, m_searchValid,
                                        m_searchOverflow, esearch, m_esUid, m_esTag});
                    StartResponse();
                    break;
                }
            }
            continue;
        }
        // Line mode: copy up to the next LF.
        const char* lf = static_cast<const char*>(std::memchr(data + pos, '\n', size - pos));
        size_t end = lf ? static_cast<size_t>(lf - data) : size;
        if (!m_prefixChecked) {
            // Look at the first bytes before going on, to catch "* SEARCH ".
            const size_t want = m_prefixWant - m_head.size();
            if (end - pos >= want) {
                m_head.append(data + pos, want);
                TrackTail(data + pos, want);
                m_length += want;
                pos += want;
                CheckSearchPrefix();
                continue;
            }
        }
        const size_t n = end - pos;
        const size_t room = kHeadMax - std::min(kHeadMax, m_head.size());
        if (n > room)
            m_headComplete = false;
        m_head.append(data + pos, std::min(n, room));
        TrackTail(data + pos, n);
        m_length += n;
        pos = end;
        if (m_length > m_maxResponse) {
            m_failed = true;
            break;
        }
        if (lf) {
            ++pos;
            if (++m_length > m_maxResponse) {  // the LF counts too
                m_failed = true;
                break;
            }
            if (EndOfLine()) {
                onResponse(Response{m_head, m_headComplete, m_isSearch, m_isSearch && m_searchValid,
                                    m_searchOverflow, m_isESearch, m_esUid, m_esTag});
                StartResponse();
            }
        }
    }
    return !m_failed;
}
