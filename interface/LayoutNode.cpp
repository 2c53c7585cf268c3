#include "interface/LayoutNode.h"

#include <algorithm>

#include "interface/drawing/Painter.h"
#include "interface/drawing/SymbolImages.h"

namespace velmo {

namespace {

using Proposal = std::optional<double>;  // a width offered by the parent; unset asks for the ideal

LayoutNode node(LayoutNode::Kind kind) {
    LayoutNode n;
    n.kind = kind;
    return n;
}

LayoutNode wrap(LayoutNode::Kind kind, LayoutNode child) {
    LayoutNode n = node(kind);
    n.children.push_back(std::move(child));
    return n;
}

bool isFlexibleSpacer(const LayoutNode& n) { return n.kind == LayoutNode::Kind::Spacer && !n.length; }

// Whether the node takes whatever width it is offered.
bool takesProposedWidth(const LayoutNode& n) {
    switch (n.kind) {
        case LayoutNode::Kind::Spacer:
            return !n.length;
        case LayoutNode::Kind::Divider:
            return true;
        case LayoutNode::Kind::Frame:
            return n.maxWidth || (!n.width && takesProposedWidth(n.children.front()));
        case LayoutNode::Kind::Padding:
        case LayoutNode::Kind::Background:
        case LayoutNode::Kind::Button:
            return takesProposedWidth(n.children.front());
        case LayoutNode::Kind::VStack:
        case LayoutNode::Kind::HStack:
            return std::any_of(n.children.begin(), n.children.end(), [](const LayoutNode& c) { return takesProposedWidth(c); });
        case LayoutNode::Kind::Text:
        case LayoutNode::Kind::Symbol:
        case LayoutNode::Kind::Shape:
            return false;
    }
    return false;
}

Size measure(const LayoutNode& n, Proposal width);

// Child sizes of a horizontal stack: fixed children at their ideal widths, the rest of the
// offered width shared evenly among the flexible ones.
std::vector<Size> hstackSizes(const LayoutNode& n, Proposal width) {
    std::vector<Size> sizes(n.children.size());
    double fixed = n.children.empty() ? 0 : n.spacing * double(n.children.size() - 1);
    std::size_t flexible = 0;
    for (std::size_t i = 0; i < n.children.size(); ++i) {
        const LayoutNode& c = n.children[i];
        if (takesProposedWidth(c)) {
            ++flexible;
            continue;
        }
        sizes[i] = c.kind == LayoutNode::Kind::Spacer ? Size{*c.length, 0} : measure(c, std::nullopt);
        fixed += sizes[i].width;
    }
    double share = (flexible && width) ? std::max(0.0, *width - fixed) / double(flexible) : 0;
    for (std::size_t i = 0; i < n.children.size(); ++i) {
        const LayoutNode& c = n.children[i];
        if (!takesProposedWidth(c)) continue;
        sizes[i] = isFlexibleSpacer(c) ? Size{share, 0} : measure(c, width ? Proposal(share) : std::nullopt);
    }
    return sizes;
}

// A spacer has its length along its stack and nothing across it.
Size vstackChildSize(const LayoutNode& c, Proposal width) {
    if (c.kind == LayoutNode::Kind::Spacer) return {0, c.length.value_or(0)};
    return measure(c, width);
}

Size measure(const LayoutNode& n, Proposal width) {
    switch (n.kind) {
        case LayoutNode::Kind::VStack: {
            Size s;
            for (std::size_t i = 0; i < n.children.size(); ++i) {
                Size c = vstackChildSize(n.children[i], width);
                s.width = std::max(s.width, c.width);
                s.height += c.height + (i ? n.spacing : 0);
            }
            if (width && takesProposedWidth(n)) s.width = std::max(s.width, *width);
            return s;
        }
        case LayoutNode::Kind::HStack: {
            Size s;
            std::vector<Size> sizes = hstackSizes(n, width);
            for (std::size_t i = 0; i < sizes.size(); ++i) {
                s.width += sizes[i].width + (i ? n.spacing : 0);
                s.height = std::max(s.height, sizes[i].height);
            }
            return s;
        }
        case LayoutNode::Kind::Spacer:
            return n.length ? Size{*n.length, *n.length} : Size{width.value_or(0), 0};
        case LayoutNode::Kind::Text:
            if (n.wraps && width) return Painter::measureText(n.text, n.font, *width);
            return Painter::measureText(n.text, n.font);
        case LayoutNode::Kind::Symbol:
            return {n.font.size, Painter::measureText("", n.font).height};
        case LayoutNode::Kind::Divider:
            return {width.value_or(0), LayoutNode::dividerThickness};
        case LayoutNode::Kind::Shape:
            return {n.width.value_or(0), n.height.value_or(0)};
        case LayoutNode::Kind::Padding: {
            const EdgeInsets& e = n.insets;
            Proposal inner = width ? Proposal(std::max(0.0, *width - e.leading - e.trailing)) : std::nullopt;
            Size c = measure(n.children.front(), inner);
            return {c.width + e.leading + e.trailing, c.height + e.top + e.bottom};
        }
        case LayoutNode::Kind::Frame: {
            Proposal inner = n.width ? n.width : width;
            Size c = measure(n.children.front(), inner);
            Size s = c;
            if (n.width)
                s.width = *n.width;
            else if (n.maxWidth && width)
                s.width = std::max(c.width, *width);
            if (n.height) s.height = *n.height;
            return s;
        }
        case LayoutNode::Kind::Background:
        case LayoutNode::Kind::Button:
            return measure(n.children.front(), width);
    }
    return {};
}

double alignedX(HorizontalAlignment a, double available, double w) {
    switch (a) {
        case HorizontalAlignment::Leading:
            return 0;
        case HorizontalAlignment::Center:
            return (available - w) / 2;
        case HorizontalAlignment::Trailing:
            return available - w;
    }
    return 0;
}

double alignedY(VerticalAlignment a, double available, double h) {
    switch (a) {
        case VerticalAlignment::Top:
            return 0;
        case VerticalAlignment::Center:
            return (available - h) / 2;
        case VerticalAlignment::Bottom:
            return available - h;
    }
    return 0;
}

void place(LayoutNode& n, Rect f) {
    n.frame = f;
    switch (n.kind) {
        case LayoutNode::Kind::VStack: {
            double y = f.y;
            for (LayoutNode& c : n.children) {
                Size s = vstackChildSize(c, f.width);
                place(c, {f.x + alignedX(n.horizontalAlignment, f.width, s.width), y, s.width, s.height});
                y += s.height + n.spacing;
            }
            break;
        }
        case LayoutNode::Kind::HStack: {
            std::vector<Size> sizes = hstackSizes(n, f.width);
            double x = f.x;
            for (std::size_t i = 0; i < n.children.size(); ++i) {
                Size s = sizes[i];
                if (isFlexibleSpacer(n.children[i])) s.height = f.height;
                place(n.children[i], {x, f.y + alignedY(n.verticalAlignment, f.height, s.height), s.width, s.height});
                x += s.width + n.spacing;
            }
            break;
        }
        case LayoutNode::Kind::Padding: {
            const EdgeInsets& e = n.insets;
            place(n.children.front(), {f.x + e.leading, f.y + e.top, std::max(0.0, f.width - e.leading - e.trailing),
                                       std::max(0.0, f.height - e.top - e.bottom)});
            break;
        }
        case LayoutNode::Kind::Frame: {
            Size s = measure(n.children.front(), f.width);
            s.width = std::min(s.width, f.width);
            place(n.children.front(), {f.x + alignedX(n.horizontalAlignment, f.width, s.width),
                                       f.y + alignedY(n.verticalAlignment, f.height, s.height), s.width, s.height});
            break;
        }
        case LayoutNode::Kind::Background:
        case LayoutNode::Kind::Button:
            place(n.children.front(), f);
            break;
        case LayoutNode::Kind::Spacer:
        case LayoutNode::Kind::Text:
        case LayoutNode::Kind::Symbol:
        case LayoutNode::Kind::Divider:
        case LayoutNode::Kind::Shape:
            break;
    }
}

Layer boxLayer(const std::string& id, Rect f) {
    Layer l;
    l.id = id;
    l.center = {f.x + f.width / 2, f.y + f.height / 2};
    l.size = {f.width, f.height};
    return l;
}

void appendShape(LayerList& out, const std::string& id, const LayoutShape& s, Rect f) {
    Layer l = boxLayer(id, f);
    switch (s.kind) {
        case LayoutShape::Kind::Rect:
            l.kind = Layer::Kind::RoundedRect;
            break;
        case LayoutShape::Kind::RoundedRect:
            l.kind = Layer::Kind::RoundedRect;
            l.cornerRadius = s.cornerRadius;
            break;
        case LayoutShape::Kind::Capsule:
            l.kind = Layer::Kind::Capsule;
            break;
        case LayoutShape::Kind::Circle: {
            double d = std::min(f.width, f.height);
            l.kind = Layer::Kind::Capsule;
            l.size = {d, d};
            break;
        }
    }
    if (s.stroke) {
        l.outline = *s.stroke;
        l.lineWidth = s.lineWidth;
    }
    l.fill = s.fill.value_or(Color::clear());
    for (std::size_t i = 0; i < s.shadows.size(); ++i) {
        Layer shadow = l;
        shadow.id = id + ".shadow" + std::to_string(i);
        shadow.shadow = s.shadows[i];
        shadow.shadowOnly = true;
        out.push_back(std::move(shadow));
    }
    if (s.fill || s.stroke) out.push_back(std::move(l));
}

void appendLayers(LayerList& out, const LayoutNode& n, const std::string& id) {
    switch (n.kind) {
        case LayoutNode::Kind::Text: {
            if (n.text.empty()) break;
            Layer l = boxLayer(id, n.frame);
            l.kind = Layer::Kind::Text;
            l.text = n.text;
            l.font = n.font;
            l.fill = n.color;
            if (n.wraps) l.wrapWidth = n.frame.width;
            out.push_back(std::move(l));
            break;
        }
        case LayoutNode::Kind::Symbol: {
            LayerList symbol = symbolLayers(n.text, n.font.size, n.font.weight, n.color, n.frame, id);
            out.insert(out.end(), symbol.begin(), symbol.end());
            break;
        }
        case LayoutNode::Kind::Divider: {
            Layer l = boxLayer(id, n.frame);
            l.kind = Layer::Kind::RoundedRect;
            l.fill = n.color;
            out.push_back(std::move(l));
            break;
        }
        case LayoutNode::Kind::Shape:
        case LayoutNode::Kind::Background:
            appendShape(out, id, n.shape, n.frame);
            break;
        default:
            break;
    }
    for (std::size_t i = 0; i < n.children.size(); ++i) appendLayers(out, n.children[i], id + "." + std::to_string(i));
}

bool contains(Rect r, Point p) { return p.x >= r.x && p.x < r.x + r.width && p.y >= r.y && p.y < r.y + r.height; }

void collectButtons(const LayoutNode& n, std::vector<std::pair<std::string, Rect>>& out) {
    if (n.kind == LayoutNode::Kind::Button) out.emplace_back(n.buttonId, n.frame);
    for (const LayoutNode& c : n.children) collectButtons(c, out);
}

}  // namespace

LayoutNode vstack(HorizontalAlignment alignment, double spacing, std::vector<LayoutNode> children) {
    LayoutNode n = node(LayoutNode::Kind::VStack);
    n.horizontalAlignment = alignment;
    n.spacing = spacing;
    n.children = std::move(children);
    return n;
}

LayoutNode hstack(VerticalAlignment alignment, double spacing, std::vector<LayoutNode> children) {
    LayoutNode n = node(LayoutNode::Kind::HStack);
    n.verticalAlignment = alignment;
    n.spacing = spacing;
    n.children = std::move(children);
    return n;
}

LayoutNode spacer() { return node(LayoutNode::Kind::Spacer); }

LayoutNode fixedSpacer(double length) {
    LayoutNode n = node(LayoutNode::Kind::Spacer);
    n.length = length;
    return n;
}

LayoutNode text(std::string s, Font font, Color color) {
    LayoutNode n = node(LayoutNode::Kind::Text);
    n.text = std::move(s);
    n.font = std::move(font);
    n.color = color;
    return n;
}

LayoutNode symbol(std::string name, Font font, Color tint) {
    LayoutNode n = node(LayoutNode::Kind::Symbol);
    n.text = std::move(name);
    n.font = std::move(font);
    n.color = tint;
    return n;
}

LayoutNode wrappedText(std::string s, Font font, Color color) {
    LayoutNode n = text(std::move(s), std::move(font), color);
    n.wraps = true;
    return n;
}

LayoutNode divider(Color color) {
    LayoutNode n = node(LayoutNode::Kind::Divider);
    n.color = color;
    return n;
}

LayoutNode shape(LayoutShape s, double width, double height) {
    LayoutNode n = node(LayoutNode::Kind::Shape);
    n.shape = std::move(s);
    n.width = width;
    n.height = height;
    return n;
}

LayoutNode padding(LayoutNode child, EdgeInsets insets) {
    LayoutNode n = wrap(LayoutNode::Kind::Padding, std::move(child));
    n.insets = insets;
    return n;
}

LayoutNode frame(LayoutNode child, std::optional<double> width, std::optional<double> height) {
    LayoutNode n = wrap(LayoutNode::Kind::Frame, std::move(child));
    n.width = width;
    n.height = height;
    return n;
}

LayoutNode maxWidthFrame(LayoutNode child, HorizontalAlignment alignment) {
    LayoutNode n = wrap(LayoutNode::Kind::Frame, std::move(child));
    n.maxWidth = true;
    n.horizontalAlignment = alignment;
    return n;
}

LayoutNode background(LayoutNode child, LayoutShape s) {
    LayoutNode n = wrap(LayoutNode::Kind::Background, std::move(child));
    n.shape = std::move(s);
    return n;
}

LayoutNode button(LayoutNode label, std::string id) {
    LayoutNode n = wrap(LayoutNode::Kind::Button, std::move(label));
    n.buttonId = std::move(id);
    return n;
}

Size layout(LayoutNode& root, double width, Point origin) {
    Size s = measure(root, width);
    place(root, {origin.x, origin.y, s.width, s.height});
    return s;
}

LayerList layoutLayers(const LayoutNode& root, const std::string& prefix) {
    LayerList out;
    appendLayers(out, root, prefix + "0");
    return out;
}

std::optional<std::string> hitTestButton(const LayoutNode& root, Point p) {
    for (auto it = root.children.rbegin(); it != root.children.rend(); ++it)
        if (auto hit = hitTestButton(*it, p)) return hit;
    if (root.kind == LayoutNode::Kind::Button && contains(root.frame, p)) return root.buttonId;
    return std::nullopt;
}

std::vector<std::pair<std::string, Rect>> buttonFrames(const LayoutNode& root) {
    std::vector<std::pair<std::string, Rect>> out;
    collectButtons(root, out);
    return out;
}

}  // namespace velmo
