// TForm1's match flow: pairing, the first-move choice, and the message dispatcher.
#include "app/Unit1.h"

#include "match/MyThread.h"
#include "match/Unit3.h"
#include "net/LanDiscovery.h"
#include "net/Lanx.h"
#include "platform/CodePage.h"
#include "platform/Dialogs.h"
#include "platform/Platform.h"
#include "platform/Sound.h"
#include "settings/Unit4.h"
#include "settings/about.h"

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

namespace {

const QString kCRLF = QStringLiteral("\r\n");
const QString kQuit = QStringLiteral("やめる");

QString SideName(int side) {
    return side == +1 ? QStringLiteral("先攻") : QStringLiteral("後攻");
}

// The side a "START " message names, or 0 when it names none.
int StartSide(const QString& text) {
    const QString field = platform::MidChars(text, platform::CharCount(text) - 2).trimmed();
    if (field == QLatin1String("1"))
        return +1;
    if (field == QLatin1String("-1"))
        return -1;
    return 0;
}

} // namespace

void TForm1::BringToFront() {
    raise();
    activateWindow();
}

void TForm1::AddLog(const QString& lines) {
    // The log keeps the desktop's line breaks in its text; the control shows lines.
    QString text = lines;
    text.replace(kCRLF, QStringLiteral("\n"));
    Memo1->appendPlainText(text);
}

void TForm1::SendMatchMessage(const QString& text) {
    QByteArray bytes = platform::ToSystemCodePage(text);
    bytes.append('\0');
    Lanx1->SendData(0, bytes.constData(), static_cast<std::uint32_t>(bytes.size()));
}

void TForm1::STARTClick(QObject* Sender) {
    if (Sender != N1 && Sender != N4 && Sender != N5) {
        if (START->text() == kQuit) {
            close();
            return;
        }
    }
    if (MyName.isEmpty()) {
        platform::MessageBox(this, QStringLiteral("プレーヤーの名前を設定してください"),
                             QStringLiteral("Veltroy"), platform::MB_OK);
        N2Click();
        if (MyName.isEmpty())
            return;
    }
    START->setText(kQuit);
    N1->setCheckable(true);
    N1->setChecked(isEnabled());
    N1->setEnabled(false);
    N4->setEnabled(false);
    N5->setEnabled(false);
    AUTOSTART(Sender == N4 ? TStart::ByAddress : Sender == N5 ? TStart::Internet : TStart::Search);
}

void TForm1::N4Click() {
    STARTClick(N4);
}

void TForm1::N5Click() {
    STARTClick(N5);
}

void TForm1::AUTOSTART(TStart kind) {
    const bool byAddress = kind == TStart::ByAddress;
    const bool internet = kind == TStart::Internet;
    Form3->RESET();
    Form3->SetLabelLayoutCenter();
    if (!internet) {
        Form3->Label1->setText(QStringLiteral("プレーヤーを探しています") + kCRLF +
                               QStringLiteral("しばらくお待ち下さい"));
        platform::ProcessMessages();
        Form3->show();
        platform::ProcessMessagesUntilShown(Form3);
    }

    // The thread confirms the session-location dialog of the search; a start
    // by address leaves it to the player, and a wait for the internet shows
    // none.
    MyThread.reset();
    if (kind == TStart::Search)
        MyThread = std::make_unique<TMyThread>();

    int index = -1;
    for (int i = 0; i < Lanx1->Connections().Count(); ++i) {
        if (Lanx1->Connections().Strings(i).contains(QStringLiteral("TCP"))) {
            index = i;
            break;
        }
    }
    if (index < 0) {
        if (GRID->SoundF)
            platform::MessageBeep(platform::MB_ICONHAND);
        platform::MessageBox(this,
                             QStringLiteral("このコンピューターでは実行出来ません。") + kCRLF +
                                 kCRLF + QStringLiteral("　　　　　　　　　Error 1"),
                             QStringLiteral("Veltroy"), platform::MB_OK);
        Form3->BUTTON3->setText(QStringLiteral("終了"));
        close();
        return;
    }

    UpdatePairingPreference();
    Lanx1->SetSessionAddress(byAddress ? SessionAddress : QString());
    if (byAddress) {
        // A typed address that cannot be asked is the player's to mend, not
        // the end of the program.
        WithoutHaltOnError([&] { return Lanx1->Connect(index); });
    } else {
        Lanx1->Connect(index, !internet);
    }
    platform::ProcessMessages();
    const QString address = byAddress ? Lanx1->SessionAddress() : QString();
    if (byAddress && !AddressSearchGoesOn(address))
        return;

    const bool joined = Lanx1->Sessions().Count() > 0 && JoinFirstSession();
    if (!joined && !address.isEmpty()) {
        // The player asked for that computer: no session of our own instead.
        AbandonStart(address + QStringLiteral(" のゲームに参加できませんでした。") + kCRLF +
                     QStringLiteral("もう一度ためしてください"));
        return;
    }
    if (joined) {
        // Guest: the first session found.
        IsHost = false;
        // Before anything of the host's is handled: its id may come at once.
        BeginPairing();
        platform::ProcessMessages();
        OpponentName =
            Lanx1->Players().Count() > 0 ? Lanx1->Players().Items(0)->ShortName : QString();
        Form3->SetLabelLayoutCenter();
        Form3->Label1->setText(OpponentName + QStringLiteral("さんと") + kCRLF +
                               QStringLiteral("ゲームをはじめます"));
        if (GRID->SoundF)
            platform::MessageBeep(platform::MB_ICONASTERISK);
        platform::ProcessMessages();
        AddLog(OpponentName + QStringLiteral("さんとはじめます"));
        platform::Sleep(2000);
        ResumeOrChoose();
    } else {
        // Host: open a session and wait for a challenger. A challenger that
        // comes while the notice shows is greeted after it, which it cuts short.
        HoldArrivals();
        Lanx1->CreateSession(QStringLiteral("KORVAMESH"), MyName, MyName);
        IsHost = true;
        if (internet)
            ForwardRouterPorts();
        platform::ProcessMessages();
        Form3->SetLabelLayoutCenter();
        if (GRID->SoundF)
            platform::MessageBeep(platform::MB_OK);
        Form3->Label1->setText(internet ? QStringLiteral("インターネットの") + kCRLF +
                                              QStringLiteral("プレーヤーを待ちます")
                                        : QStringLiteral("見つかりませんでした") + kCRLF +
                                              QStringLiteral("プレーヤーを待ちます"));
        platform::ProcessMessages();
        if (internet) {
            Form3->show();
            platform::ProcessMessagesUntilShown(Form3);
        }
        platform::SleepUnlessWoken(3000, [this] {
            return !HeldArrivals.empty() ||
                   (Lanx1->ReceiveThread() && Lanx1->ReceiveThread()->HandOverPending());
        });
        show();
        LogOwnAddresses();
        AddLog(QStringLiteral("待機中"));
        Memo1->setFocus();
        Form3->close();
        WaitForOpponent();
        ReleaseArrivals();
    }
}

bool TForm1::JoinFirstSession() {
    // The session may have closed or filled since it answered, or the network
    // lost the join: this program then hosts, and waiting hosts find each other.
    return WithoutHaltOnError([this] { return Lanx1->JoinSession(0, MyName, MyName); });
}

bool TForm1::WithoutHaltOnError(const std::function<std::uint32_t()>& operation) {
    const TLanxDebugOption options = Lanx1->DebugOption();
    Lanx1->SetDebugOption(TLanxDebugOption(options).setFlag(dpoHaltOnError, false));
    const HRESULT result = operation();
    Lanx1->SetDebugOption(options);
    return result == DP_OK;
}

bool TForm1::AddressSearchGoesOn(const QString& address) {
    const HRESULT searched = Lanx1->SearchResult();
    if (searched == DPERR_USERCANCEL) {
        BackToIdle();
        return false;
    }
    SessionAddress = address;
    if (searched == DPERR_INVALIDHOSTADDRESS) {
        AbandonStart(QStringLiteral("「%1」はアドレスとして正しくありません。").arg(address) +
                     kCRLF +
                     QStringLiteral("192.168.1.10 や 192.168.1.10:43517 のように入力してください"));
        return false;
    }
    if (searched == DPERR_HOSTNOTFOUND) {
        AbandonStart(QStringLiteral("「%1」というコンピューターが見つかりません。").arg(address) +
                     kCRLF + QStringLiteral("名前かアドレスを確かめてください"));
        return false;
    }
    if (!address.isEmpty() && (searched != DP_OK || Lanx1->Sessions().Count() == 0)) {
        AbandonStart(address +
                     QStringLiteral(" には、待っているプレーヤーが見つかりませんでした。") + kCRLF +
                     QStringLiteral("相手が「はじめる」を押して待っているか確かめてください"));
        return false;
    }
    return true;
}

void TForm1::AbandonStart(const QString& message) {
    Form3->close();
    if (GRID->SoundF)
        platform::MessageBeep(platform::MB_ICONEXCLAMATION);
    platform::MessageBox(this, message, QStringLiteral("Veltroy"),
                         platform::MB_OK | platform::MB_ICONEXCLAMATION);
    BackToIdle();
}

void TForm1::BackToIdle() {
    Form3->close();
    START->setText(QStringLiteral("はじめる"));
    N1->setChecked(false);
    N1->setCheckable(false);
    N1->setEnabled(true);
    N4->setEnabled(true);
    N5->setEnabled(true);
    Forwarding.reset();
    show();
}

void TForm1::LogOwnAddresses() {
    if (OwnAddressesLogged)
        return;
    OwnAddressesLogged = true;
    QStringList dotted;
    for (std::uint32_t ipv4 : lan::LocalAddresses())
        dotted << QString::fromStdString(lan::DottedIpv4(ipv4));
    if (!dotted.isEmpty())
        AddLog(QStringLiteral("このコンピューターのアドレス: ") +
               dotted.join(QStringLiteral(", ")));
}

QString TForm1::RouterLine(const lan::RouterReport& report) {
    const QString external = QString::fromStdString(lan::DottedIpv4(report.external));
    const QString byHand =
        QStringLiteral("ルーターの設定で UDP 43517〜43525 番ポートをこのコンピュー"
                       "ターに転送するか、相手と同じ VPN に入ってください");
    switch (report.outcome) {
    case lan::RouterOutcome::Forwarded:
        return QStringLiteral("インターネットの相手に伝えるアドレス: ") + external;
    case lan::RouterOutcome::NoRouter:
        return QStringLiteral("ポートの転送をたのめるルーターが見つかりませんでした。") + byHand;
    case lan::RouterOutcome::Refused:
        return QStringLiteral("ルーターがポートの転送をことわりました。") + byHand;
    case lan::RouterOutcome::PortTaken:
        return QStringLiteral(
                   "ルーターの UDP %1 番ポートは、ほかのコンピューターに転送されています。")
                   .arg(report.port) +
               byHand;
    case lan::RouterOutcome::NotPublic:
        break;
    }
    const QString outside = QStringLiteral(
        "相手と同じ VPN に入るか、その外側で UDP 43517〜43525 番ポートを転送してください");
    if (report.external == 0)
        return QStringLiteral("ルーターは、インターネットから届くアドレスを持っていません（プロバイ"
                              "ダーなどの別のネットワークの内側にあるか、インターネットにつながって"
                              "いません）。") +
               outside;
    return QStringLiteral("ルーターのアドレス %1 は、インターネットから届かないアドレスです（ルー"
                          "ターがプロバイダーなどの別のネットワークの内側にあります）。")
               .arg(external) +
           outside;
}

void TForm1::ForwardRouterPorts() {
    const std::vector<std::uint16_t> ports{lan::DiscoveryPort(), Lanx1->SessionPort()};
    Forwarding =
        std::make_unique<lan::RouterForwarding>(ports, [this](const lan::RouterReport& report) {
            // On the router thread, while Forwarding lives: the line is logged on the window's.
            QMetaObject::invokeMethod(
                this, [this, report] { AddLog(RouterLine(report)); }, Qt::QueuedConnection);
        });
}

QString TForm1::OtherPlayerName() const {
    const TLanxPlayers& players = Lanx1->Players();
    for (int i = 0; i < players.Count(); ++i) {
        if (players.Items(i) != Lanx1->LocalPlayer())
            return players.Items(i)->ShortName;
    }
    return QString();
}

void TForm1::WaitForOpponent() {
    if (!WaitHint) {
        WaitHint = new QTimer(this);
        WaitHint->setSingleShot(true);
        connect(WaitHint, &QTimer::timeout, this, [this] {
            if (Lanx1->Players().Count() < 2)
                AddLog(QStringLiteral("30秒たっても相手が見つかりません。相手のコンピューターが同じ"
                                      "ネットワークにあるか、ファイアウォールで UDP 43517〜43525 "
                                      "番ポートが開いているか確かめてください"));
        });
    }
    WaitHint->start(WaitHintMs);
}

void TForm1::Lanx1ComesNewChallenger(TLanx*, TLanxPlayer*, const QString&, const QString&) {
    Arrive([this] { GreetNewChallenger(); });
}

void TForm1::GreetNewChallenger() {
    BringToFront();
    setEnabled(true);
    Form3->close();
    platform::ProcessMessages();
    if (WaitHint)
        WaitHint->stop();
    // The other player: the one who came, or the host this program joined
    // when two waiting programs found each other. The session's host settles
    // choices made at once on both sides.
    OpponentName = OtherPlayerName();
    IsHost = Lanx1->Players().Count() > 0 && Lanx1->Players().Items(0) == Lanx1->LocalPlayer();
    BeginPairing();
    Form3->RESET();
    Form3->SetLabelLayoutCenter();
    Form3->Label1->setText(OpponentName + QStringLiteral("さんと") + kCRLF +
                           QStringLiteral("ゲームをはじめます"));
    Form3->show();
    if (GRID->SoundF)
        platform::MessageBeep(platform::MB_ICONASTERISK);
    platform::ProcessMessagesUntilShown(Form3);
    AddLog(OpponentName + QStringLiteral("さんとはじめます"));
    platform::ProcessMessages();
    platform::Sleep(2000);
    Form3->close();
    ResumeOrChoose();
}

void TForm1::SENKOSET() {
    platform::ProcessMessages();
    BringToFront();
    // A new choice round: nobody has chosen yet.
    ChoseThisGame = false;
    AwaitingStartAck = false;
    Form3->RESET();
    Form3->Label1Color = ColorToQColor(clCream);
    Form3->Tag = TForm3::modeChoice;
    Form3->Label1->setText(kCRLF + QStringLiteral("先攻／後攻を決めてください"));
    Form3->SetLabelLayoutTop();
    Form3->Image1->show();
    Form3->Image2->show();
    Form3->Image1->SetPicture(GRID->BigPieceA);
    Form3->Image2->SetPicture(GRID->BigPieceB);
    Form3->BUTTON1->setText(QStringLiteral("先攻"));
    Form3->BUTTON3->setText(QStringLiteral("後攻"));
    Form3->BUTTON1->show();
    Form3->BUTTON3->show();
    platform::ProcessMessages();
    Form3->show();
    setEnabled(false);
}

void TForm1::BeginGame() {
    // The first player may move at once; the second waits for the first move.
    if (MySide == +1) {
        GRID->Turn = +1;
        AddLog(QStringLiteral("あなたの番です"));
    } else {
        GRID->Turn = 0;
        AddLog(QStringLiteral("相手の番です"));
    }
    GRID->PUTSEARCH();
    KAISI();
    GRID->DRAWGRID(*Image1);
    FocusBoard();
    KeepNewGame();
}

void TForm1::SENKOOK(int side) {
    MySide = side;
    ChoseThisGame = true;
    show();
    setEnabled(true);
    AddLog(QStringLiteral("あなたは") + SideName(side) + QStringLiteral("を選びました"));
    SendMatchMessage(QStringLiteral("START ") + QString::number(MySide));
    BeginGame();
}

void TForm1::RESSTART(const QString& text) {
    const int theirs = StartSide(text);
    if (theirs == 0)
        return; // not a side: nothing to apply
    if (Resume.Phase != TResumePhase::Off) {
        // The opponent went to the choice without the question (its program
        // did not see the records in time): this side follows.
        Resume.Phase = TResumePhase::Off;
        ResumeTimer->stop();
        ChoseThisGame = false;
        Form3->RESET();
    }

    if (ChoseThisGame) {
        // Both players chose before seeing the other's choice. The host's choice
        // stands: the host drops the guest's choice and the guest's moves until
        // the guest's acknowledgement; the guest starts over on the other side
        // and acknowledges with its new side.
        if (IsHost) {
            if (AwaitingStartAck)
                AwaitingStartAck = false; // the acknowledgement: nothing changes
            else
                AwaitingStartAck = true;
            return;
        }
        RESETGRID();
        ChoseThisGame = false;
        MySide = -theirs;
        SendMatchMessage(QStringLiteral("START ") + QString::number(MySide));
        ChoseThisGame = true;
        AddLog(QStringLiteral("相手が") + SideName(-MySide) + QStringLiteral("を選びました"));
        BeginGame();
        return;
    }

    MySide = -theirs;
    ChoseThisGame = true; // the game's sides are settled
    Form3->SetLabelLayoutCenter();
    Form3->BUTTON1->hide();
    Form3->BUTTON3->hide();
    Form3->Image1->hide();
    Form3->Image2->hide();
    platform::ProcessMessages();
    const QString taken = SideName(-MySide);
    Form3->Label1->setText(OpponentName + QStringLiteral("さんが") + taken +
                           QStringLiteral("を選びました"));
    AddLog(QStringLiteral("相手が") + taken + QStringLiteral("を選びました"));
    platform::ProcessMessages();
    Form3->show();
    if (GRID->SoundF)
        platform::MessageBeep(platform::MB_ICONASTERISK);
    platform::ProcessMessagesUntilShown(Form3);
    platform::Sleep(2000);
    Form3->close();
    setEnabled(true);
    BeginGame();
}

void TForm1::SetChatEnabled(bool enabled) {
    EDIT1->setEnabled(enabled);
    SetWidgetColors(EDIT1, ColorToQColor(enabled ? clWhite : clInactiveCaptionText));
}

void TForm1::KAISI() {
    SetChatEnabled(true);
    const QString mine = QStringLiteral("あなたのコマの数です");
    const QString theirs = QStringLiteral("相手のコマの数です");
    if (MySide == -1) {
        Label5->setText(OpponentName + QStringLiteral("さん"));
        Label6->setText(MyName + QStringLiteral("さん"));
        Panel4->SetBevelWidth(3);
        Panel3->SetBevelWidth(1);
        Panel4->setToolTip(mine);
        Panel3->setToolTip(theirs);
    } else {
        Label5->setText(MyName + QStringLiteral("さん"));
        Label6->setText(OpponentName + QStringLiteral("さん"));
        Panel3->SetBevelWidth(3);
        Panel4->SetBevelWidth(1);
        Panel3->setToolTip(mine);
        Panel4->setToolTip(theirs);
    }
}

void TForm1::Arrive(std::function<void()> arrival) {
    if (HoldDepth == 0) {
        arrival();
        return;
    }
    HeldArrivals.push_back(std::move(arrival));
}

void TForm1::ReleaseArrivals() {
    if (HoldDepth > 1) {
        --HoldDepth;
        return;
    }
    // Still held while the queue empties, so that whatever arrives meanwhile
    // (a handler processes pending events) waits behind it.
    while (!HeldArrivals.empty()) {
        const std::function<void()> next = std::move(HeldArrivals.front());
        HeldArrivals.pop_front();
        next();
    }
    HoldDepth = 0;
}

void TForm1::Lanx1ArriveMessage(TLanx*, TLanxPlayer*, const void* data, std::uint32_t dataSize) {
    // The bytes are lent only until this returns.
    const QString text = platform::FromSystemCodePage(static_cast<const char*>(data), dataSize);
    Arrive([this, text] { HandleMatchMessage(text); });
}

void TForm1::HandleMatchMessage(const QString& text) {
    const QString command = platform::MidChars(text, 0, 6);

    BringToFront();
    setEnabled(true);

    // The opponent has moved on to the new round: no RETRY of theirs can cross ours now.
    if (command == QLatin1String("START ") || command == QLatin1String("PUTOK ") ||
        command == QLatin1String("PASS  "))
        RetryMayCross = false;

    if (command == QLatin1String("START "))
        RESSTART(text);
    if (command == QLatin1String("PUTOK "))
        RESPUTOK(text);
    if (command == QLatin1String("PASS  "))
        RESPASS();
    if (command == QLatin1String("RETRY "))
        RESRETRY();
    if (command == QLatin1String("CHAT  "))
        RESCHAT(text);
    if (command == QLatin1String("NAME  "))
        RESNAME(text);
    if (command == QLatin1String("IDENT "))
        RESIDENT(text);
    if (command == QLatin1String("RECORD"))
        RESRECORD(text);
    if (command == QLatin1String("RESUME"))
        RESRESUME(text);

    // Nothing that is open may end up hidden behind the main window.
    if (Form3 && Form3->isVisible()) {
        Form3->show();
        Form3->raise();
        setEnabled(false);
    }
    if (OKRightDlg && OKRightDlg->isVisible())
        OKRightDlg->raise();
    if (OKBottomDlg && OKBottomDlg->isVisible())
        OKBottomDlg->raise();
}
