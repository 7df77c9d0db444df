#include "display/DigWatchFrame.h"

#include <QResizeEvent>

#include <string>

namespace sincrovia {

namespace {

// Placement and look of one position of the clock.
struct DigitPlacement {
    int left;
    int top;
    int width;
    int height;
    TColor offColor;
    uint16_t lineWidth;
    uint16_t border;
};

constexpr int kDigitTop = 4;
constexpr int kDigitWidth = 30;
constexpr int kDigitHeight = 37;
constexpr uint16_t kDigitLineWidth = 3;
constexpr uint16_t kDigitBorder = 4;
constexpr int kColonTop = 0;
constexpr int kColonWidth = 10;
constexpr int kColonHeight = 44;

// Digits show their unlit segments faintly; on the colon positions unlit segments take the
// background colour and vanish, and line width and border stay at their initial values.
constexpr DigitPlacement Digit(int left) {
    return {left,        kDigitTop, kDigitWidth, kDigitHeight, TFrameDigitalWatch::kUnlitDigitColor, kDigitLineWidth,
            kDigitBorder};
}
constexpr DigitPlacement Colon(int left) {
    return {
        left, kColonTop, kColonWidth, kColonHeight, clBtnFace, TwatDigit::kInitialLineWidth, TwatDigit::kInitialBorder};
}

constexpr std::array<DigitPlacement, TFrameDigitalWatch::kDigitCount> kPlacements = {
    Digit(-1), Digit(26), Colon(54), Digit(64), Digit(91), Colon(119), Digit(128), Digit(155)};

}  // namespace

TFrameDigitalWatch::TFrameDigitalWatch(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("FrameDigitalWatch"));
    resize(kFrameWidth, kFrameHeight);

    // The bevel goes first so that the digits lie above it.
    bevel1_ = new TBevel(this);
    bevel1_->setObjectName(QStringLiteral("Bevel1"));
    bevel1_->SetShape(TBevelShape::bsFrame);
    bevel1_->SetStyle(TBevelStyle::bsRaised);
    bevel1_->setGeometry(rect());

    for (int i = 0; i < kDigitCount; ++i) {
        const DigitPlacement& p = kPlacements[static_cast<size_t>(i)];
        auto* digit = new TwatDigit(this);
        digit->setObjectName(QStringLiteral("watDigit%1").arg(i + 1));
        // The size comes first: line width and border are accepted only if they fit it, and
        // the line width before the border (the narrower border would not fit the initial
        // line width).
        digit->setGeometry(p.left, p.top, p.width, p.height);
        digit->SetShape(TBevelShape::bsSpacer);
        digit->SetStyle(TBevelStyle::bsRaised);
        digit->SetBackColor(clBtnFace);
        digit->SetForeColor(clNavy);
        digit->SetOffColor(p.offColor);
        digit->SetLineWidth(p.lineWidth);
        digit->SetBorder(p.border);
        digits_[static_cast<size_t>(i)] = digit;
    }

    TmrUpdateClock.SetEnabled(false);
    TmrUpdateClock.SetInterval(kUpdateIntervalMs);
    TmrUpdateClock.OnTimer = [this](void* sender) { TmrUpdateClockTimer(sender); };
}

TFrameDigitalWatch::~TFrameDigitalWatch() {
    // The timer is a member and goes before the child widgets anyway; stopping it here keeps
    // a tick from arriving while the frame is half destroyed.
    TmrUpdateClock.SetEnabled(false);
}

void TFrameDigitalWatch::StartClock(bool Run) { TmrUpdateClock.SetEnabled(Run); }

bool TFrameDigitalWatch::ClockRunning() const { return TmrUpdateClock.Enabled(); }

void TFrameDigitalWatch::ShowTime(TDateTime value) {
    std::string text;
    try {
        text = FormatDateTime(LongTimeFormat(), value);
    } catch (const DateTimeError&) {
        text.clear();
    }
    ShowText(text);
}

void TFrameDigitalWatch::ShowText(std::string_view text) {
    for (size_t i = 0; i < digits_.size(); ++i) digits_[i]->SetDigit(i < text.size() ? text[i] : '\0');
}

TwatDigit* TFrameDigitalWatch::watDigit(int position) const {
    if (position < 1 || position > kDigitCount) return nullptr;
    return digits_[static_cast<size_t>(position - 1)];
}

QSize TFrameDigitalWatch::sizeHint() const { return {kFrameWidth, kFrameHeight}; }

void TFrameDigitalWatch::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    bevel1_->setGeometry(rect());
}

void TFrameDigitalWatch::TmrUpdateClockTimer(void* /*sender*/) { ShowTime(Now()); }

}  // namespace sincrovia
