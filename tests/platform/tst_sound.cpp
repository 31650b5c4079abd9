// Tests of the sound layer: what reaches the audio device, and how long a play takes;
// and of the late loading of libraries that sound, the network and JPEG rely on.
#include "platform/SharedLibrary.h"
#include "platform/Sound.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cmath>
#include <cstring>

namespace {

constexpr int kWaveRate = 22050;

// A complete WAVE file: 8-bit unsigned mono PCM.
QByteArray MakeWave(const QByteArray& samples, int rate = kWaveRate) {
    QByteArray wave;
    QDataStream out(&wave, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    const auto size = static_cast<quint32>(samples.size());
    out.writeRawData("RIFF", 4);
    out << quint32(36 + size);
    out.writeRawData("WAVEfmt ", 8);
    // PCM, mono, frames and bytes per second, bytes per frame, bits per sample
    out << quint32(16) << quint16(1) << quint16(1) << quint32(rate) << quint32(rate) << quint16(1)
        << quint16(8);
    out.writeRawData("data", 4);
    out << size;
    out.writeRawData(samples.constData(), samples.size());
    return wave;
}

// 8-bit samples rising steadily from 28 to 228 (levels -0.78 to +0.78).
QByteArray Ramp(int count) {
    QByteArray samples(count, '\0');
    for (int i = 0; i < count; ++i)
        samples[i] = static_cast<char>(28 + (200 * i + (count - 1) / 2) / (count - 1));
    return samples;
}

double RampLevel(const QByteArray& ramp, double position) {
    const int i = std::clamp(static_cast<int>(position), 0, static_cast<int>(ramp.size()) - 2);
    const double a = static_cast<quint8>(ramp[i]);
    const double b = static_cast<quint8>(ramp[i + 1]);
    return (a + (b - a) * (position - i) - 128.0) / 128.0;
}

// The length of "PIPOWAV": 4564 samples.
const QByteArray kRamp = Ramp(4564);
const double kRampSeconds = 4564.0 / kWaveRate;

double Seconds(qint64 ms) {
    return static_cast<double>(ms) / 1000.0;
}

// What the disk driver wrote, one vector of levels in [-1, 1] per channel.
QVector<QVector<double>> ReadCapture(const QString& path, const platform::SoundDeviceInfo& dev) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    const int frames = static_cast<int>(bytes.size() / (2 * dev.channels));
    QVector<QVector<double>> channels(dev.channels, QVector<double>(frames));
    const auto* samples = reinterpret_cast<const uchar*>(bytes.constData());
    for (int f = 0; f < frames; ++f) {
        for (int c = 0; c < dev.channels; ++c)
            channels[c][f] =
                qFromLittleEndian<qint16>(samples + 2 * (f * dev.channels + c)) / 32768.0;
    }
    return channels;
}

int FirstFrame(const QVector<double>& levels, auto predicate, int from = 0) {
    for (int f = from; f < levels.size(); ++f) {
        if (predicate(levels[f]))
            return f;
    }
    return -1;
}

int LastFrame(const QVector<double>& levels, auto predicate) {
    for (int f = static_cast<int>(levels.size()) - 1; f >= 0; --f) {
        if (predicate(levels[f]))
            return f;
    }
    return -1;
}

} // namespace

class SoundTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void syncPlayLastsTheSoundsLength_data();
    void syncPlayLastsTheSoundsLength();
    void syncPlayDeliversTheConvertedSamples();
    void asyncPlayReturnsAtOnceAndIsReplaced();
    void unusableDeviceIsSilence_data();
    void unusableDeviceIsSilence();
    void lostDeviceEndsTheWait();
    void soundAfterSilenceIsHeardInFull();
    void invalidWaveIsSilence_data();
    void invalidWaveIsSilence();
    void messageBeepReturnsAtOnce_data();
    void messageBeepReturnsAtOnce();
    void missingLibraryOrFunctionIsNull();

private:
    // Switches to SDL's disk driver writing to a new file; returns its path.
    QString UseDiskDriver();
    // Opens the device so that a timing leaves out opening it.
    static platform::SoundDeviceInfo OpenDevice();

    QTemporaryDir dir;
};

void SoundTest::cleanup() {
    platform::ShutdownSound();
    qputenv("SDL_AUDIODRIVER", "dummy");
    qunsetenv("SDL_DISKAUDIOFILE");
}

QString SoundTest::UseDiskDriver() {
    static int files = 0;
    const QString path = dir.filePath(QStringLiteral("out%1.raw").arg(++files));
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(path));
    return path;
}

platform::SoundDeviceInfo SoundTest::OpenDevice() {
    platform::PlayWave(QByteArray(), false);
    return platform::CurrentSoundDevice();
}

void SoundTest::syncPlayLastsTheSoundsLength_data() {
    QTest::addColumn<QByteArray>("driver");
    QTest::addColumn<QString>("name"); // a sound resource; empty: the ramp from memory
    QTest::addColumn<double>("length");
    QTest::newRow("dummy") << QByteArray("dummy") << QString() << kRampSeconds;
    QTest::newRow("disk") << QByteArray("disk") << QString() << kRampSeconds;
    QTest::newRow("PIPOWAV") << QByteArray("dummy") << QStringLiteral("PIPOWAV")
                             << 4564.0 / kWaveRate;
    QTest::newRow("missing resource") << QByteArray("dummy") << QStringLiteral("NOSUCHWAV") << 0.0;
}

void SoundTest::syncPlayLastsTheSoundsLength() {
    QFETCH(QByteArray, driver);
    QFETCH(QString, name);
    QFETCH(double, length);
    if (driver == "disk")
        UseDiskDriver();
    else
        qputenv("SDL_AUDIODRIVER", driver);
    QVERIFY2(OpenDevice().open, "the audio device did not open");

    QElapsedTimer timer;
    timer.start();
    if (name.isEmpty())
        platform::PlayWave(MakeWave(kRamp), true);
    else
        platform::PlaySound(name, true);
    const double elapsed = Seconds(timer.elapsed());
    qInfo("synchronous play of %.3f s took %.3f s", length, elapsed);
    QVERIFY2(elapsed >= length, qPrintable(QStringLiteral("returned after %1 s").arg(elapsed)));
    QVERIFY2(elapsed < length + 0.25,
             qPrintable(QStringLiteral("returned only after %1 s").arg(elapsed)));
}

void SoundTest::syncPlayDeliversTheConvertedSamples() {
    const QString path = UseDiskDriver();
    platform::PlayWave(MakeWave(kRamp), true);
    const platform::SoundDeviceInfo dev = platform::CurrentSoundDevice();
    QVERIFY(dev.open);
    platform::ShutdownSound(); // flushes the file
    QVERIFY2(dev.sampleBits == 16 && dev.signedSamples && !dev.floatSamples,
             "the disk device should take the 16-bit samples asked for");

    const auto capture = ReadCapture(path, dev);
    QVERIFY2(!capture.isEmpty() && !capture[0].isEmpty(), "nothing was written to the device");
    const QVector<double>& left = capture[0];
    for (int c = 1; c < capture.size(); ++c)
        QVERIFY2(capture[c] == left, "the channels differ for a mono sound");

    const auto loud = [](double v) { return std::abs(v) > 0.25; };
    const int first = FirstFrame(left, loud);
    const int last = LastFrame(left, loud);
    QVERIFY2(first >= 0, "the ramp is not in the output");
    const double ratio = static_cast<double>(dev.frequency) / kWaveRate;
    const double expectedFrames = kRamp.size() * ratio;
    const int found = last - first + 1;
    QVERIFY2(std::abs(found - expectedFrames) <= 8 * ratio,
             qPrintable(QStringLiteral("the ramp lasts %1 frames instead of %2")
                            .arg(found)
                            .arg(expectedFrames)));

    // Away from its ends, where the resampler rings, the ramp keeps its levels.
    const int edge = static_cast<int>(16 * ratio);
    double worst = 0;
    int worstAt = 0;
    for (int f = edge; f < found - edge; ++f) {
        const double error = std::abs(left[first + f] - RampLevel(kRamp, f / ratio));
        if (error > worst) {
            worst = error;
            worstAt = f;
        }
    }
    qInfo("ramp of %d frames found as %d frames, largest deviation %.4f", int(expectedFrames),
          found, worst);
    QVERIFY2(
        worst < 0.03,
        qPrintable(QStringLiteral("frame %1 of the ramp is off by %2").arg(worstAt).arg(worst)));
    QVERIFY2(std::abs(left[first + edge] + 0.78) < 0.03 &&
                 std::abs(left[last - edge] - 0.78) < 0.03,
             "the ramp does not span its levels");

    const auto audible = [](double v) { return std::abs(v) > 0.01; };
    QVERIFY2(FirstFrame(left, audible) >= first - edge, "noise before the sound");
    QVERIFY2(LastFrame(left, audible) <= last + edge, "noise after the sound");
}

void SoundTest::asyncPlayReturnsAtOnceAndIsReplaced() {
    const QString path = UseDiskDriver();
    QVERIFY(OpenDevice().open);
    // Two plateaus that the output tells apart: 1 s high, then 0.2 s low.
    const QByteArray high = MakeWave(QByteArray(kWaveRate, static_cast<char>(192)));
    const QByteArray low = MakeWave(QByteArray(kWaveRate / 5, static_cast<char>(64)));

    QElapsedTimer timer;
    timer.start();
    platform::PlayWave(high, false);
    const qint64 asyncMs = timer.elapsed();
    qInfo("asynchronous play returned after %lld ms", asyncMs);
    QVERIFY2(asyncMs < 20, qPrintable(QStringLiteral("returned after %1 ms").arg(asyncMs)));

    const int rate = platform::CurrentSoundDevice().frequency;
    QTRY_VERIFY(platform::CurrentSoundDevice().framesPlayed >= rate / 10);
    platform::PlayWave(low, true);
    const platform::SoundDeviceInfo dev = platform::CurrentSoundDevice();
    platform::ShutdownSound();

    const auto capture = ReadCapture(path, dev);
    QVERIFY(!capture.isEmpty());
    const QVector<double>& left = capture[0];
    const auto isHigh = [](double v) { return v > 0.3; };
    const auto isLow = [](double v) { return v < -0.3; };
    const int firstLow = FirstFrame(left, isLow);
    QVERIFY2(firstLow >= 0, "the second sound is not in the output");
    const int highFrames = static_cast<int>(std::count_if(left.begin(), left.end(), isHigh));
    QVERIFY2(highFrames >= rate / 10 && highFrames < rate / 2,
             qPrintable(QStringLiteral("%1 frames of the first sound").arg(highFrames)));
    QVERIFY2(FirstFrame(left, isHigh, firstLow) < 0, "the first sound went on after the second");
    const int lowFrames = LastFrame(left, isLow) - firstLow + 1;
    QVERIFY2(std::abs(lowFrames - rate / 5) <= 16,
             qPrintable(QStringLiteral("the second sound lasts %1 frames").arg(lowFrames)));
}

void SoundTest::unusableDeviceIsSilence_data() {
    QTest::addColumn<QByteArray>("driver");
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("unknown driver") << QByteArray("no-such-driver") << QByteArray();
    QTest::newRow("device fails to open")
        << QByteArray("disk") << QByteArray("/nonexistent-dir/out.raw");
}

void SoundTest::unusableDeviceIsSilence() {
    QFETCH(QByteArray, driver);
    QFETCH(QByteArray, file);
    qputenv("SDL_AUDIODRIVER", driver);
    if (!file.isEmpty())
        qputenv("SDL_DISKAUDIOFILE", file);

    for (int attempt = 1; attempt <= 3; ++attempt) {
        QElapsedTimer timer;
        timer.start();
        platform::PlayWave(MakeWave(kRamp), true);
        const qint64 ms = timer.elapsed();
        QVERIFY2(ms < 20, qPrintable(QStringLiteral("play %1 took %2 ms").arg(attempt).arg(ms)));
    }
    QVERIFY2(!platform::CurrentSoundDevice().open, "a device is reported open");
}

void SoundTest::lostDeviceEndsTheWait() {
    // Writing to /dev/full fails: the device is gone after its first buffers.
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", "/dev/full");
    if (!OpenDevice().open)
        QSKIP("the disk driver cannot open /dev/full here");
    const QByteArray half = MakeWave(Ramp(kWaveRate / 2));
    QElapsedTimer timer;
    timer.start();
    platform::PlayWave(half, true);
    const double elapsed = Seconds(timer.elapsed());
    qInfo("synchronous play of 0.5 s on a lost device took %.3f s", elapsed);
    QVERIFY2(elapsed < 0.75, qPrintable(QStringLiteral("returned after %1 s").arg(elapsed)));
}

void SoundTest::soundAfterSilenceIsHeardInFull() {
    UseDiskDriver();
    platform::PlayWave(MakeWave(kRamp), true);
    QVERIFY(platform::CurrentSoundDevice().open);
    // A quiet program gives the device up after about 2 s ...
    QTRY_VERIFY_WITH_TIMEOUT(!platform::CurrentSoundDevice().open, 4000);

    // ... and the next sound opens it again and is heard from its first sample.
    const QString path = UseDiskDriver();
    QElapsedTimer timer;
    timer.start();
    platform::PlayWave(MakeWave(kRamp), true);
    const double elapsed = Seconds(timer.elapsed());
    const platform::SoundDeviceInfo dev = platform::CurrentSoundDevice();
    QVERIFY(dev.open);
    platform::ShutdownSound();
    QVERIFY2(elapsed >= kRampSeconds,
             qPrintable(QStringLiteral("returned after %1 s").arg(elapsed)));
    const auto capture = ReadCapture(path, dev);
    QVERIFY(!capture.isEmpty());
    const auto loud = [](double v) { return std::abs(v) > 0.25; };
    const int found = LastFrame(capture[0], loud) - FirstFrame(capture[0], loud) + 1;
    const double ratio = static_cast<double>(dev.frequency) / kWaveRate;
    QVERIFY2(std::abs(found - kRamp.size() * ratio) <= 8 * ratio,
             qPrintable(QStringLiteral("the ramp lasts %1 frames").arg(found)));
}

void SoundTest::invalidWaveIsSilence_data() {
    QTest::addColumn<QByteArray>("wave");
    const QByteArray good = MakeWave(kRamp);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("RIFF only") << QByteArray("RIFF");
    QTest::newRow("cut in the format") << good.left(30);
    QTest::newRow("header without samples") << good.left(44);
    QByteArray badFormat = good;
    badFormat[20] = 0x34; // format tag 0x1234
    badFormat[21] = 0x12;
    QTest::newRow("unknown format") << badFormat;
    QByteArray noChannels = good;
    noChannels[22] = 0;
    QTest::newRow("no channels") << noChannels;
    QByteArray noRate = good;
    noRate[24] = noRate[25] = noRate[26] = noRate[27] = 0;
    QTest::newRow("rate zero") << noRate;

    QRandomGenerator random(20240917);
    for (int i = 0; i < 6; ++i) {
        QByteArray blob(static_cast<int>(random.bounded(1, 5000)), '\0');
        for (char& c : blob)
            c = static_cast<char>(random.bounded(256));
        if (i % 2)
            blob.replace(0, 12, QByteArray("RIFF\x10\x20\0\0WAVE", 12));
        QTest::newRow(qPrintable(QStringLiteral("random %1").arg(i))) << blob;
    }
}

void SoundTest::invalidWaveIsSilence() {
    QFETCH(QByteArray, wave);
    QVERIFY(OpenDevice().open);
    QElapsedTimer timer;
    timer.start();
    platform::PlayWave(wave, true);
    const qint64 ms = timer.elapsed();
    QVERIFY2(ms < 20, qPrintable(QStringLiteral("returned after %1 ms").arg(ms)));
    QCOMPARE(platform::CurrentSoundDevice().framesPlayed, 0);
}

void SoundTest::messageBeepReturnsAtOnce_data() {
    QTest::addColumn<unsigned>("type");
    for (unsigned type : {0u, 16u, 48u, 64u, 32u, 0xFFFFFFFFu})
        QTest::newRow(qPrintable(QString::number(type))) << type;
}

void SoundTest::messageBeepReturnsAtOnce() {
    QFETCH(unsigned, type);
    QVERIFY(OpenDevice().open);
    QElapsedTimer timer;
    timer.start();
    platform::MessageBeep(type);
    const qint64 ms = timer.elapsed();
    QVERIFY2(ms < 20, qPrintable(QStringLiteral("returned after %1 ms").arg(ms)));
}

void SoundTest::missingLibraryOrFunctionIsNull() {
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^No test: libveltroy-absent\\.so\\.0: "));
    QVERIFY(!platform::OpenSharedLibrary("libveltroy-absent.so.0", "No test"));

    void* libc = platform::OpenSharedLibrary("libc.so.6", "No test");
    QVERIFY(libc);
    decltype(&std::strlen) length = nullptr;
    QVERIFY(platform::ResolveFunction(libc, "strlen", length));
    QCOMPARE(length("four"), std::size_t{4});
    QVERIFY(!platform::ResolveFunction(libc, "veltroy_absent", length));
    QVERIFY(!length);
    // No library is not the global scope, where strlen would be found.
    QVERIFY(!platform::ResolveFunction(nullptr, "strlen", length));
}

QTEST_GUILESS_MAIN(SoundTest)
#include "tst_sound.moc"
