#include "interface/CompanionPanelModel.h"

#include "interface/drawing/CompanionPalette.h"
#include "interface/drawing/Painter.h"

namespace velmo {

namespace {

constexpr double panelWidth = 320;

Font systemFont(double size, int weight = 400) { return Font{"sans-serif", size, weight}; }
constexpr int medium = 500;
constexpr int semibold = 600;
constexpr int bold = 700;

// A symbol image at a text size, on one line of that size, in a frame `width` wide.
LayoutNode symbolImage(const std::string& name, double size, Color tint, double width) {
    return frame(symbol(name, systemFont(size, medium), tint), width, std::nullopt);
}

LayoutNode header(const CompanionPanelModel& model) {
    LayoutShape dot = LayoutShape::filled(LayoutShape::Kind::Circle, model.statusDotColor);
    dot.shadows = {Shadow{model.statusDotColor, 0.6, 4, {0, 0}}};
    return hstack(
        VerticalAlignment::Center, LayoutNode::defaultSpacing,
        {hstack(VerticalAlignment::Center, 8, {shape(dot, 8, 8), text("Velmo", systemFont(14, semibold), CompanionPalette::textPrimary())}),
         spacer(), text(model.statusText, systemFont(12, medium), CompanionPalette::textTertiary())});
}

LayoutNode notice(const char* title, std::vector<const char*> paragraphs) {
    std::vector<LayoutNode> lines{text(title, systemFont(12, bold), CompanionPalette::textSecondary())};
    for (const char* p : paragraphs) lines.push_back(wrappedText(p, systemFont(11), CompanionPalette::textTertiary()));
    return maxWidthFrame(vstack(HorizontalAlignment::Leading, 6, std::move(lines)), HorizontalAlignment::Leading);
}

LayoutNode message(CompanionPanelMessage m) {
    auto oneLine = [](const char* s) {
        return maxWidthFrame(text(s, systemFont(12, medium), CompanionPalette::textSecondary()), HorizontalAlignment::Leading);
    };
    switch (m) {
        case CompanionPanelMessage::holdToTalk:
            return oneLine("Hold Control+Option to talk.");
        case CompanionPanelMessage::allSet:
            return oneLine("You're all set. Hit Start to meet Velmo.");
        case CompanionPanelMessage::revoked:
            return notice("Permissions needed", {"Some permissions were revoked. Grant all four below to keep using Velmo."});
        case CompanionPanelMessage::welcome:
            return notice("Hi, I'm Ossel",
                          {"This is Velmo. Grant all four permissions below to get started. I promise it all makes sense once you do.",
                           "Nothing runs in the background. Your screen and mic are only used when you choose to interact."});
    }
    return {};
}

LayoutNode capsuleButton(const char* label, Color labelColor, LayoutShape capsule, const char* id) {
    return button(
        background(padding(padding(text(label, systemFont(11, semibold), labelColor), EdgeInsets::horizontal(10)), EdgeInsets::vertical(4)),
                   std::move(capsule)),
        id);
}

const char* grantButtonId(CompanionPermission p) {
    switch (p) {
        case CompanionPermission::microphone:
            return companion_panel_button::grantMicrophone;
        case CompanionPermission::accessibility:
            return companion_panel_button::grantAccessibility;
        case CompanionPermission::screenRecording:
            return companion_panel_button::grantScreenRecording;
        case CompanionPermission::screenContent:
            return companion_panel_button::grantScreenContent;
    }
    return "";
}

LayoutNode permissionRow(const CompanionPermissionRow& row) {
    LayoutNode title = text(row.title, systemFont(13, medium), CompanionPalette::textSecondary());
    if (row.permission == CompanionPermission::screenRecording) {
        std::vector<LayoutNode> lines{std::move(title)};
        if (!row.granted) lines.push_back(text("Quit and reopen after granting", systemFont(10), CompanionPalette::textTertiary()));
        title = vstack(HorizontalAlignment::Leading, 1, std::move(lines));
    }
    LayoutNode titleGroup = hstack(
        VerticalAlignment::Center, 8,
        {symbolImage(row.symbol, 12, row.granted ? CompanionPalette::textTertiary() : CompanionPalette::warning(), 16), std::move(title)});

    LayoutNode control;
    if (row.granted) {
        control = hstack(VerticalAlignment::Center, 4,
                         {shape(LayoutShape::filled(LayoutShape::Kind::Circle, CompanionPalette::success()), 6, 6),
                          text("Granted", systemFont(11, medium), CompanionPalette::success())});
    } else {
        control = capsuleButton("Grant", CompanionPalette::textOnAccent(),
                                LayoutShape::filled(LayoutShape::Kind::Capsule, CompanionPalette::primaryButton()),
                                grantButtonId(row.permission));
        if (row.permission == CompanionPermission::accessibility) {
            LayoutShape outline;
            outline.kind = LayoutShape::Kind::Capsule;
            outline.stroke = CompanionPalette::divider();
            outline.lineWidth = 0.8;
            control = hstack(VerticalAlignment::Center, 6,
                             {std::move(control),
                              capsuleButton("Find App", CompanionPalette::textSecondary(), outline, companion_panel_button::findApp)});
        }
    }
    return padding(hstack(VerticalAlignment::Center, LayoutNode::defaultSpacing, {std::move(titleGroup), spacer(), std::move(control)}),
                   EdgeInsets::vertical(6));
}

LayoutNode permissions(const std::vector<CompanionPermissionRow>& rows) {
    std::vector<LayoutNode> items{padding(
        maxWidthFrame(text("PERMISSIONS", systemFont(10, semibold), CompanionPalette::textTertiary()), HorizontalAlignment::Leading),
        {0, 0, 6, 0})};
    for (const auto& row : rows) items.push_back(permissionRow(row));
    return vstack(HorizontalAlignment::Center, 2, std::move(items));
}

LayoutNode startButton() {
    return button(background(padding(maxWidthFrame(text("Start", systemFont(14, semibold), CompanionPalette::textOnAccent()),
                                                   HorizontalAlignment::Center),
                                     EdgeInsets::vertical(10)),
                             LayoutShape::filled(LayoutShape::Kind::RoundedRect, CompanionPalette::primaryButton(), 10)),
                  companion_panel_button::start);
}

LayoutNode footerButton(const char* symbolName, const char* label, const char* id) {
    return button(hstack(VerticalAlignment::Center, 6,
                         {symbolImage(symbolName, 11, CompanionPalette::textTertiary(), 11),
                          text(label, systemFont(12, medium), CompanionPalette::textTertiary())}),
                  id);
}

LayoutNode footer(bool showsReplay) {
    std::vector<LayoutNode> items{footerButton("power", "Quit Velmo", companion_panel_button::quit)};
    if (showsReplay) {
        items.push_back(spacer());
        items.push_back(footerButton("play.circle", "Watch Onboarding Again", companion_panel_button::replay));
    }
    return hstack(VerticalAlignment::Center, LayoutNode::defaultSpacing, std::move(items));
}

LayoutNode sideInset(LayoutNode n) { return padding(std::move(n), EdgeInsets::horizontal(16)); }

}  // namespace

CompanionPanelModel makeCompanionPanelModel(const CompanionPanelInputs& in) {
    CompanionPanelModel m;
    if (!in.isOverlayVisible) {
        m.statusText = "Ready";
        m.statusDotColor = CompanionPalette::textTertiary();
    } else {
        switch (in.voiceState) {
            case CompanionVoiceState::idle:
                m.statusText = "Active";
                break;
            case CompanionVoiceState::listening:
                m.statusText = "Listening";
                break;
            case CompanionVoiceState::processing:
                m.statusText = "Processing";
                break;
            case CompanionVoiceState::responding:
                m.statusText = "Responding";
                break;
        }
        m.statusDotColor = in.voiceState == CompanionVoiceState::idle ? CompanionPalette::success() : CompanionPalette::accentLight();
    }

    bool all = in.allPermissionsGranted();
    if (in.hasCompletedOnboarding)
        m.message = all ? CompanionPanelMessage::holdToTalk : CompanionPanelMessage::revoked;
    else
        m.message = all ? CompanionPanelMessage::allSet : CompanionPanelMessage::welcome;

    if (!all) {
        m.permissionRows = {
            {CompanionPermission::microphone, "Microphone", "mic", in.hasMicrophonePermission},
            {CompanionPermission::accessibility, "Accessibility", "hand.raised", in.hasAccessibilityPermission},
            {CompanionPermission::screenRecording, "Screen Recording", "rectangle.dashed.badge.record", in.hasScreenRecordingPermission},
        };
        if (in.hasScreenRecordingPermission)
            m.permissionRows.push_back({CompanionPermission::screenContent, "Screen Content", "eye", in.hasScreenContentPermission});
    }
    m.showsStartButton = !in.hasCompletedOnboarding && all;
    m.showsReplayButton = in.hasCompletedOnboarding;
    return m;
}

LayoutNode companionPanelLayout(const CompanionPanelModel& model) {
    std::vector<LayoutNode> column;
    column.push_back(padding(sideInset(header(model)), EdgeInsets::vertical(14)));
    column.push_back(sideInset(divider(CompanionPalette::divider())));
    column.push_back(sideInset(padding(message(model.message), {16, 0, 0, 0})));
    if (!model.permissionRows.empty()) {
        column.push_back(fixedSpacer(16));
        column.push_back(sideInset(permissions(model.permissionRows)));
    }
    if (model.showsStartButton) {
        column.push_back(fixedSpacer(16));
        column.push_back(sideInset(startButton()));
    }
    column.push_back(fixedSpacer(12));
    column.push_back(sideInset(divider(CompanionPalette::divider())));
    column.push_back(padding(sideInset(footer(model.showsReplayButton)), EdgeInsets::vertical(12)));

    LayoutShape card = LayoutShape::filled(LayoutShape::Kind::RoundedRect, CompanionPalette::background(), 12);
    card.shadows = {Shadow{Color::black(), 0.5, 20, {0, 10}}, Shadow{Color::black(), 0.3, 4, {0, 2}}};
    return background(frame(vstack(HorizontalAlignment::Leading, 0, std::move(column)), panelWidth, std::nullopt), std::move(card));
}

CompanionPanelPicture companionPanelPicture(const LayoutNode& tree, Size size, const std::string& layerPrefix) {
    CompanionPanelPicture picture;
    picture.layers = layoutLayers(tree, layerPrefix);
    picture.margins = marginsAround(Painter::bounds(picture.layers), size);
    for (Layer& l : picture.layers) {
        l.center.x += picture.margins.left;
        l.center.y += picture.margins.top;
    }
    picture.canvas = {picture.margins.left + size.width + picture.margins.right,
                      picture.margins.top + size.height + picture.margins.bottom};
    return picture;
}

CompanionPanelInputs companionPanelSituation(bool onboarded, bool allGranted) {
    CompanionPanelInputs in;
    in.hasCompletedOnboarding = onboarded;
    in.hasMicrophonePermission = allGranted;
    in.hasAccessibilityPermission = allGranted;
    in.hasScreenRecordingPermission = allGranted;
    in.hasScreenContentPermission = allGranted;
    // The overlay is up from launch exactly when onboarding is done and every permission
    // granted; before that the panel reads "Ready".
    in.isOverlayVisible = onboarded && allGranted;
    return in;
}

}  // namespace velmo
