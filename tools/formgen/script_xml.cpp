#include "script_xml.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <utility>
#include <vector>

#include "../common/markup_text.h"

namespace formgen {
namespace {

enum class Kind { kName, kNumber, kString, kSymbol, kEnd };

struct Token {
    Kind kind = Kind::kEnd;
    std::string text;  // as in the source (strings keep their quotes)
    int line = 0;
    int column = 0;
    int end_line = 0;  // position just after the token
    int end_column = 0;
};

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class Lexer {
   public:
    explicit Lexer(const std::string& source) : src_(source) {}

    std::vector<Token> Run() {
        std::vector<Token> tokens;
        for (;;) {
            SkipBlankAndComments();
            Token t;
            t.line = line_;
            t.column = column_;
            if (i_ >= src_.size()) {
                t.end_line = line_;
                t.end_column = column_;
                tokens.push_back(t);
                return tokens;
            }
            const char c = src_[i_];
            const std::size_t start = i_;
            if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
                t.kind = Kind::kName;
                while (i_ < src_.size() &&
                       (std::isalnum(static_cast<unsigned char>(src_[i_])) || src_[i_] == '_')) {
                    Advance();
                }
            } else if (std::isdigit(static_cast<unsigned char>(c)) || c == '$') {
                t.kind = Kind::kNumber;
                Advance();
                while (i_ < src_.size() && std::isxdigit(static_cast<unsigned char>(src_[i_]))) {
                    Advance();
                }
            } else if (c == '\'' || c == '#') {
                t.kind = Kind::kString;
                StringLiteral(t);
            } else {
                t.kind = Kind::kSymbol;
                static const char* kPairs[] = {":=", "<>", "<=", ">=", ".."};
                bool pair = false;
                for (const char* p : kPairs) {
                    if (src_.compare(i_, 2, p) == 0) pair = true;
                }
                Advance();
                if (pair) Advance();
                if (std::string("();:,.=<>+-*/[]@^").find(c) == std::string::npos) {
                    Fail(t.line, t.column, std::string("unexpected character '") + c + "'");
                }
            }
            t.text = src_.substr(start, i_ - start);
            t.end_line = line_;
            t.end_column = column_;
            tokens.push_back(std::move(t));
        }
    }

    [[noreturn]] static void Fail(int line, int column, const std::string& what) {
        throw ScriptError(std::to_string(line) + ":" + std::to_string(column) + ": " + what);
    }

   private:
    void Advance() {
        if (src_[i_] == '\n') {
            ++line_;
            column_ = 1;
        } else if (src_[i_] != '\r') {
            ++column_;
        }
        ++i_;
    }

    void SkipBlankAndComments() {
        while (i_ < src_.size()) {
            const char c = src_[i_];
            if (std::isspace(static_cast<unsigned char>(c))) {
                Advance();
            } else if (src_.compare(i_, 2, "//") == 0) {
                while (i_ < src_.size() && src_[i_] != '\n') Advance();
            } else if (c == '{') {
                SkipUntil("}", 1);
            } else if (src_.compare(i_, 2, "(*") == 0) {
                SkipUntil("*)", 2);
            } else {
                return;
            }
        }
    }

    void SkipUntil(const char* close, std::size_t open_length) {
        const int line = line_;
        const int column = column_;
        for (std::size_t k = 0; k < open_length; ++k) Advance();
        const std::size_t end = src_.find(close, i_);
        if (end == std::string::npos) Fail(line, column, "unterminated comment");
        while (i_ < end + std::char_traits<char>::length(close)) Advance();
    }

    // Quoted pieces ('' is a quote) and #nn character codes, joined without spaces.
    void StringLiteral(const Token& t) {
        while (i_ < src_.size() && (src_[i_] == '\'' || src_[i_] == '#')) {
            if (src_[i_] == '#') {
                Advance();
                if (i_ >= src_.size() || !std::isdigit(static_cast<unsigned char>(src_[i_]))) {
                    Fail(t.line, t.column, "bad character code");
                }
                while (i_ < src_.size() && std::isdigit(static_cast<unsigned char>(src_[i_]))) {
                    Advance();
                }
                continue;
            }
            Advance();
            for (;;) {
                if (i_ >= src_.size() || src_[i_] == '\n') {
                    Fail(t.line, t.column, "unterminated string");
                }
                if (src_[i_] == '\'') {
                    Advance();
                    if (i_ < src_.size() && src_[i_] == '\'') {
                        Advance();
                        continue;
                    }
                    break;
                }
                Advance();
            }
        }
    }

    const std::string& src_;
    std::size_t i_ = 0;
    int line_ = 1;
    int column_ = 1;
};

struct Node {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<Node> children;

    Node& Add(Node child) {
        children.push_back(std::move(child));
        return children.back();
    }
};

std::string Position(int line, int column) {
    return std::to_string(line) + ":" + std::to_string(column);
}

Node Leaf(const std::string& name, const Token& t) {
    return Node{name, {{"text", t.text}, {"pos", Position(t.line, t.column)}}, {}};
}

Node At(const std::string& name, const Token& t) {
    return Node{name, {{"pos", Position(t.line, t.column)}}, {}};
}

const char* const kKeywords[] = {"and", "begin", "const", "div",       "do",    "else", "end",
                                 "if",  "mod",   "not",   "or",        "shl",   "shr",  "then",
                                 "var", "xor",   "in",    "procedure", "while", "nil"};

class Parser {
   public:
    explicit Parser(std::vector<Token> tokens) : t_(std::move(tokens)) {}

    Node Program() {
        Node program = At("program", Peek());
        while (Peek().kind != Kind::kEnd && !IsWord("begin")) {
            if (IsWord("var")) {
                Next();
                VarSection(program);
            } else if (IsWord("const")) {
                Next();
                ConstSection(program);
            } else if (IsWord("procedure")) {
                program.Add(Procedure());
            } else {
                Fail("expected var, const, procedure or the main block");
            }
        }
        if (IsWord("begin")) {
            program.Add(Compound());
            Expect(".");
        } else {
            program.Add(Node{"compoundstmt", {}, {}});
        }
        if (Peek().kind != Kind::kEnd) Fail("text after the end of the script");
        program.Add(Node{"types", {}, {}});
        return program;
    }

   private:
    const Token& Peek(std::size_t ahead = 0) const {
        return t_[std::min(p_ + ahead, t_.size() - 1)];
    }
    const Token& Next() {
        const Token& t = t_[p_];
        if (p_ + 1 < t_.size()) ++p_;
        return t;
    }
    bool IsWord(const char* word, std::size_t ahead = 0) const {
        return Peek(ahead).kind == Kind::kName && Lower(Peek(ahead).text) == word;
    }
    bool IsSymbol(const char* symbol) const {
        return Peek().kind == Kind::kSymbol && Peek().text == symbol;
    }
    [[noreturn]] void Fail(const std::string& what) const {
        Lexer::Fail(Peek().line, Peek().column,
                    what + (Peek().kind == Kind::kEnd ? " at the end" : ", found " + Peek().text));
    }
    void Expect(const char* symbol) {
        if (!IsSymbol(symbol)) Fail(std::string("expected ") + symbol);
        Next();
    }
    void ExpectWord(const char* word) {
        if (!IsWord(word)) Fail(std::string("expected ") + word);
        Next();
    }
    bool IsIdentifier() const {
        if (Peek().kind != Kind::kName) return false;
        const std::string lower = Lower(Peek().text);
        return std::none_of(std::begin(kKeywords), std::end(kKeywords),
                            [&](const char* k) { return lower == k; });
    }
    const Token& Identifier() {
        if (!IsIdentifier()) Fail("expected a name");
        return Next();
    }

    // Declarations `a, b: Type;` until the next section; one `var` element per name.
    void VarSection(Node& parent) {
        do {
            VarDeclaration(parent);
            Expect(";");
        } while (IsIdentifier());
    }

    void VarDeclaration(Node& parent) {
        std::vector<Token> names{Identifier()};
        while (IsSymbol(",")) {
            Next();
            names.push_back(Identifier());
        }
        Expect(":");
        const Token type = Identifier();
        for (const Token& name : names) {
            Node& var = parent.Add(At("var", name));
            var.Add(Leaf("ident", name));
            var.Add(Leaf("type", type));
        }
    }

    void ConstSection(Node& parent) {
        do {
            const Token& name = Identifier();
            Node& constant = parent.Add(At("const", name));
            constant.Add(Leaf("ident", name));
            Expect("=");
            constant.Add(Expression());
            Expect(";");
        } while (IsIdentifier());
    }

    Node Procedure() {
        Node procedure = At("procedure", Peek());
        Next();
        procedure.Add(Leaf("name", Identifier()));
        Node& parameters = procedure.Add(At("parameters", Peek()));
        if (IsSymbol("(")) {
            Next();
            if (!IsSymbol(")")) {
                VarDeclaration(parameters);
                while (IsSymbol(";")) {
                    Next();
                    VarDeclaration(parameters);
                }
            }
            Expect(")");
        }
        Expect(";");
        while (IsWord("var")) {
            Next();
            VarSection(procedure);
        }
        procedure.Add(Compound());
        Expect(";");
        return procedure;
    }

    Node Compound() {
        Node block = At("compoundstmt", Peek());
        ExpectWord("begin");
        for (;;) {
            if (IsWord("end")) break;
            if (IsSymbol(";")) {
                Next();
                continue;
            }
            block.Add(Statement());
            if (!IsSymbol(";") && !IsWord("end")) Fail("expected ; or end");
        }
        Next();
        return block;
    }

    Node Statement() {
        if (IsWord("begin")) return Compound();
        if (IsWord("if")) {
            Node statement = At("ifstmt", Next());
            statement.Add(Expression());
            const Token& then = Peek();
            ExpectWord("then");
            Node& then_branch = statement.Add(At("thenstmt", then));
            if (!IsSymbol(";") && !IsWord("else") && !IsWord("end")) {
                then_branch.Add(Statement());
            }
            if (IsWord("else")) {
                Node& else_branch = statement.Add(At("elsestmt", Next()));
                if (!IsSymbol(";") && !IsWord("end")) else_branch.Add(Statement());
            }
            return statement;
        }
        const Token& first = Peek();
        Node target = Designator();
        if (IsSymbol(":=")) {
            Next();
            Node statement = At("assignstmt", first);
            statement.Add(std::move(target));
            statement.Add(Expression());
            return statement;
        }
        Node statement = At("callstmt", first);
        statement.Add(std::move(target));
        return statement;
    }

    // Operands and operators in source order; the nesting of operators is the engine's to work
    // out.
    Node Expression() {
        const Token& first = Peek();
        Node expr = At("expr", first);
        int depth = 0;
        const Token* last = &first;
        for (;;) {
            while (IsWord("not") || IsSymbol("-") || IsSymbol("+") || IsSymbol("(")) {
                if (IsSymbol("(")) ++depth;
                expr.Add(Leaf("op", Next()));
            }
            last = &Peek();
            if (Peek().kind == Kind::kString) {
                expr.Add(Leaf("string", Next()));
            } else if (Peek().kind == Kind::kNumber) {
                expr.Add(Leaf("number", Next()));
            } else if (IsSymbol("[")) {
                expr.Add(SetConstructor());
            } else if (IsSymbol("@") || IsIdentifier() || IsWord("nil")) {
                expr.Add(Designator());
            } else {
                Fail("expected an operand");
            }
            last = &t_[p_ - 1];
            while (depth > 0 && IsSymbol(")")) {
                --depth;
                last = &Peek();
                expr.Add(Leaf("op", Next()));
            }
            if (!IsBinaryOperator()) break;
            expr.Add(Leaf("op", Next()));
        }
        if (depth != 0) Fail("expected )");
        expr.attributes.emplace_back("pos1", Position(last->end_line, last->end_column));
        return expr;
    }

    bool IsBinaryOperator() const {
        static const char* kSymbols[] = {"+", "-", "*", "/", "=", "<>", "<", ">", "<=", ">="};
        for (const char* s : kSymbols) {
            if (IsSymbol(s)) return true;
        }
        return IsWord("and") || IsWord("or") || IsWord("xor") || IsWord("div") || IsWord("mod") ||
               IsWord("shl") || IsWord("shr") || IsWord("in");
    }

    Node SetConstructor() {
        Node set = At("set", Next());
        if (!IsSymbol("]")) {
            set.Add(Expression());
            while (IsSymbol(",")) {
                Next();
                set.Add(Expression());
            }
        }
        Expect("]");
        return set;
    }

    // `@`? name { . name | (args) | [args] }: nodes for the names, expressions for the arguments
    // of the name before them (a call or a type cast).
    Node Designator() {
        Node designator = At("dsgn", Peek());
        if (IsSymbol("@")) {
            designator.Add(At("addr", Next()));
        }
        if (IsWord("nil")) {
            designator.Add(Leaf("node", Next()));
            return designator;
        }
        designator.Add(Leaf("node", Identifier()));
        for (;;) {
            if (IsSymbol(".")) {
                Next();
                designator.Add(Leaf("node", Identifier()));
            } else if (IsSymbol("(") || IsSymbol("[")) {
                const char* close = IsSymbol("(") ? ")" : "]";
                Next();
                if (!IsSymbol(close)) {
                    designator.Add(Expression());
                    while (IsSymbol(",")) {
                        Next();
                        designator.Add(Expression());
                    }
                }
                Expect(close);
            } else {
                return designator;
            }
        }
    }

    std::vector<Token> t_;
    std::size_t p_ = 0;
};

void Write(std::string& out, const Node& node) {
    out += "<" + node.name;
    for (const auto& [name, value] : node.attributes) {
        out += " " + name + "=\"";
        out += zol::tools::MarkupText(value);
        out += "\"";
    }
    if (node.children.empty()) {
        out += "/>";
        return;
    }
    out += ">";
    for (const auto& child : node.children) Write(out, child);
    out += "</" + node.name + ">";
}

}  // namespace

std::string ParseScriptToXml(const std::string& source) {
    Parser parser(Lexer(source).Run());
    const Node program = parser.Program();
    std::string out = "<?xml version=\"1.0\"?>";
    Write(out, program);
    return out;
}

}  // namespace formgen
