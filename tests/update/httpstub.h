#pragma once
// A one-request-per-connection HTTP server on 127.0.0.1 whose answers a
// test scripts per path: whole bodies, error statuses, bodies cut short by
// a closed connection, bodies that stall with the connection held open,
// bodies without end, bodies that trickle, and servers that go silent before
// or after the head.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QMetaType>

class HttpStub
{
public:
    // Stall: half the body, then nothing; Endless: the body over and over
    // until the client goes; Silent: not even the head; HeadOnly: the head
    // and then nothing; Trickle: one byte of the body every paceMs.
    enum Delivery { Whole, CutShort, Stall, Endless, Silent, HeadOnly, Trickle };
    static const qint64 noLength = -2;
    struct Answer {
        int status = 200;
        QByteArray body;
        Delivery delivery = Whole;
        qint64 length = -1;  // Content-Length sent: -1 the body's own, noLength none
        int paceMs = 200;    // Trickle
    };

    HttpStub()
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                socket->setParent(&server);
                QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] { serve(socket); });
            }
        });
    }

    quint16 port() const { return server.serverPort(); }
    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(port()); }

    // Answers are used in order; the last one repeats.
    void route(const QByteArray &path, const QList<Answer> &answers) { routes[path] = answers; }
    int requests(const QByteArray &path) const { return served.value(path); }

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &pending = requestsInProgress[socket];
        pending += socket->readAll();
        if (!pending.contains("\r\n\r\n"))
            return;
        const QList<QByteArray> requestLine = pending.left(pending.indexOf("\r\n")).split(' ');
        requestsInProgress.remove(socket);
        const QByteArray path = requestLine.value(1);
        const int index = served[path]++;
        Answer answer;
        answer.status = 404;
        answer.body = "not here";
        const QList<Answer> answers = routes.value(path);
        if (!answers.isEmpty())
            answer = answers.at(qMin(index, answers.size() - 1));

        if (answer.delivery == Silent)
            return;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status)
                          + (answer.status == 200 ? " OK" : " Error") + "\r\n";
        head += "Content-Type: application/octet-stream\r\n";
        if (answer.length != noLength)
            head += "Content-Length: " + QByteArray::number(answer.length < 0 ? answer.body.size() : answer.length)
                    + "\r\n";
        head += "Connection: close\r\n\r\n";
        socket->write(head);
        if (answer.delivery == HeadOnly)
            return;
        if (answer.delivery == Endless) {
            // Kept a few pieces ahead of the client, as fast as it takes them.
            const QByteArray body = answer.body.isEmpty() ? QByteArray(1 << 16, 'z') : answer.body;
            const QByteArray piece = body.repeated(qMax(1, (1 << 20) / body.size()));
            auto topUp = [socket, piece] {
                while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < 4 * piece.size())
                    socket->write(piece);
            };
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, topUp);
            topUp();
            return;
        }
        if (answer.delivery == Trickle) {
            auto *pace = new QTimer(socket);
            QObject::connect(pace, &QTimer::timeout, socket, [socket, pace, body = answer.body, sent = 0]() mutable {
                if (socket->state() != QAbstractSocket::ConnectedState)
                    pace->stop();
                else if (sent < body.size())
                    socket->write(body.mid(sent++, 1));
                else
                    socket->disconnectFromHost();
            });
            pace->start(answer.paceMs);
            return;
        }
        if (answer.delivery == Whole) {
            socket->write(answer.body);
            socket->disconnectFromHost();
        } else {
            socket->write(answer.body.left(answer.body.size() / 2));
            socket->flush();
            if (answer.delivery == CutShort)
                socket->disconnectFromHost();
        }
    }

    QTcpServer server;
    QHash<QByteArray, QList<Answer>> routes;
    QHash<QByteArray, int> served;
    QHash<QTcpSocket *, QByteArray> requestsInProgress;
};

// The programs give the web listing one second. A suite whose stub shares
// a busy machine stretches that wait for itself and the programs it starts,
// so that a slow answer is not taken for a silent server.
inline void stretchListingWait(int ms = 30000)
{
    qputenv("VQ_TEST_LISTING_WAIT_MS", QByteArray::number(ms));
}

Q_DECLARE_METATYPE(HttpStub::Delivery)
Q_DECLARE_METATYPE(HttpStub::Answer)
