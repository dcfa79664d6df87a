-- Replaces the sample rows of examples/schema.sql with @ROWS@ rows per table,
-- varied the way real peers are: secrets, caller ids, mailboxes with and
-- without a context, a few empty values and a mix of codecs.
TRUNCATE users_extension;
INSERT INTO users_extension (_exten, _secret, _callerid, _mailbox, _vmsecret, _outbound_cid,
                             _position, _F1, _g729, _g722, _gsm, _h264)
SELECT 100000 + seq, LEFT(MD5(seq), 16), CONCAT('"User ', seq, '" <', 100000 + seq, '>'),
       IF(seq % 3 = 0, CONCAT(100000 + seq, '@sales'), IF(seq % 7 = 0, '', 100000 + seq)),
       IF(seq % 2 = 0, LPAD(seq % 10000, 4, '0'), ''), CONCAT('+4930', 100000 + seq),
       CONCAT('floor ', seq % 12), 'spare', seq % 5 = 0, seq % 4 = 0, seq % 9 = 0, seq % 11 = 0
FROM seq_1_to_@ROWS@;

TRUNCATE users_horncell;
INSERT INTO users_horncell (_exten, _secret, _callerid, _mailbox, outbound_cid, _position,
                            _alaw, _g722, _gsm)
SELECT 600000 + seq, LEFT(MD5(seq), 16), CONCAT('"Horn ', seq, '" <', 600000 + seq, '>'),
       IF(seq % 2 = 0, 600000 + seq, ''), CONCAT('+4930', 600000 + seq),
       CONCAT('pole ', seq % 40), seq % 3 <> 0, seq % 4 = 0, seq % 10 = 0
FROM seq_1_to_@ROWS@;

TRUNCATE users_webrtc;
INSERT INTO users_webrtc (_exten, _secret, _callerid, _mailbox, _vmsecret, _outboundcid,
                          _email, _dahdichan, _g722, _h264)
SELECT 900000 + seq, IF(seq % 13 = 0, '', LEFT(MD5(seq), 16)),
       CONCAT('"Browser ', seq, '" <', 900000 + seq, '>'),
       IF(seq % 2 = 0, CONCAT(900000 + seq, '@web'), ''),
       IF(seq % 2 = 0, LPAD(seq % 10000, 4, '0'), ''), CONCAT('+4930', 900000 + seq),
       CONCAT('user', seq, '@example.org'), '', seq % 4 = 0, seq % 6 = 0
FROM seq_1_to_@ROWS@;
