-- The three user tables peerloom reads, with a few sample rows.
-- Every column name starts with "_": the name less that character is the key
-- written to the peer file. Codec columns hold 1 for an enabled codec.

-- The sample rows hold characters of three and four bytes in UTF-8. Without
-- this the client sends them in the character set of its locale: as utf8mb3,
-- which refuses the four-byte ones, or as latin1, which stores other text.
SET NAMES utf8mb4;

DROP TABLE IF EXISTS users_extension;
CREATE TABLE users_extension (
  _id           INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  _exten        VARCHAR(20)  NOT NULL UNIQUE,
  _secret       VARCHAR(80)  NOT NULL DEFAULT '',
  _context      VARCHAR(80)  NOT NULL DEFAULT 'from-internal',
  _callerid     VARCHAR(120) NOT NULL DEFAULT '',
  _host         VARCHAR(40)  NOT NULL DEFAULT 'dynamic',
  _type         VARCHAR(10)  NOT NULL DEFAULT 'friend',
  _nat          VARCHAR(40)  NOT NULL DEFAULT 'force_rport,comedia',
  _qualify      VARCHAR(10)  NOT NULL DEFAULT 'yes',
  _mailbox      VARCHAR(80)  NOT NULL DEFAULT '',
  _vmsecret     VARCHAR(40)  NOT NULL DEFAULT '',
  _outbound_cid VARCHAR(40)  NOT NULL DEFAULT '',
  _position     VARCHAR(40)  NOT NULL DEFAULT '',
  _F1 VARCHAR(40) NOT NULL DEFAULT '', _F2 VARCHAR(40) NOT NULL DEFAULT '',
  _F3 VARCHAR(40) NOT NULL DEFAULT '', _F4 VARCHAR(40) NOT NULL DEFAULT '',
  _alaw  TINYINT(1) NOT NULL DEFAULT 1, _ulaw  TINYINT(1) NOT NULL DEFAULT 1,
  _g729  TINYINT(1) NOT NULL DEFAULT 0, _g726  TINYINT(1) NOT NULL DEFAULT 0,
  _g722  TINYINT(1) NOT NULL DEFAULT 0, _gsm   TINYINT(1) NOT NULL DEFAULT 0,
  _speex TINYINT(1) NOT NULL DEFAULT 0, _h261  TINYINT(1) NOT NULL DEFAULT 0,
  _h263  TINYINT(1) NOT NULL DEFAULT 0, _h263p TINYINT(1) NOT NULL DEFAULT 0,
  _h264  TINYINT(1) NOT NULL DEFAULT 0
) CHARACTER SET utf8mb4;

INSERT INTO users_extension (_exten, _secret, _callerid, _mailbox, _vmsecret, _position, _g722)
VALUES ('801', 'k3y-801', '"Reception" <801>', '801', '1234', 'front desk', 1),
       ('802', 'k3y-802', '"王小明" <802>', '802@sales', '', 'sales', 0),
       ('803', 'k3y-803', '"Lab" <803>', '', '', 'lab', 0);

DROP TABLE IF EXISTS users_horncell;
CREATE TABLE users_horncell (
  _id           INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  _exten        VARCHAR(20)  NOT NULL UNIQUE,
  _secret       VARCHAR(80)  NOT NULL DEFAULT '',
  _context      VARCHAR(80)  NOT NULL DEFAULT 'from-horncell',
  _callerid     VARCHAR(120) NOT NULL DEFAULT '',
  _host         VARCHAR(40)  NOT NULL DEFAULT 'dynamic',
  _type         VARCHAR(10)  NOT NULL DEFAULT 'friend',
  _nat          VARCHAR(40)  NOT NULL DEFAULT 'force_rport,comedia',
  _mailbox      VARCHAR(80)  NOT NULL DEFAULT '',
  outbound_cid  VARCHAR(40)  NOT NULL DEFAULT '',
  _position     VARCHAR(40)  NOT NULL DEFAULT '',
  _F1 VARCHAR(40) NOT NULL DEFAULT '', _F2 VARCHAR(40) NOT NULL DEFAULT '',
  _F3 VARCHAR(40) NOT NULL DEFAULT '', _F4 VARCHAR(40) NOT NULL DEFAULT '',
  _alaw  TINYINT(1) NOT NULL DEFAULT 1, _ulaw  TINYINT(1) NOT NULL DEFAULT 1,
  _g729  TINYINT(1) NOT NULL DEFAULT 0, _g726  TINYINT(1) NOT NULL DEFAULT 0,
  _g722  TINYINT(1) NOT NULL DEFAULT 0, _gsm   TINYINT(1) NOT NULL DEFAULT 0,
  _speex TINYINT(1) NOT NULL DEFAULT 0, _h261  TINYINT(1) NOT NULL DEFAULT 0,
  _h263  TINYINT(1) NOT NULL DEFAULT 0, _h263p TINYINT(1) NOT NULL DEFAULT 0,
  _h264  TINYINT(1) NOT NULL DEFAULT 0
) CHARACTER SET utf8mb4;

INSERT INTO users_horncell (_exten, _secret, _callerid, _mailbox, _alaw, _ulaw, _gsm)
VALUES ('6001', 'horn-6001', '"Yard horn" <6001>', '6001', 1, 0, 0),
       ('6002', 'horn-6002', '"Gate horn" <6002>', '', 0, 0, 1);

DROP TABLE IF EXISTS users_webrtc;
CREATE TABLE users_webrtc (
  _id           INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  _exten        VARCHAR(20)  NOT NULL UNIQUE,
  _secret       VARCHAR(80)  NOT NULL DEFAULT '',
  _context      VARCHAR(80)  NOT NULL DEFAULT 'from-internal',
  _callerid     VARCHAR(120) NOT NULL DEFAULT '',
  _host         VARCHAR(40)  NOT NULL DEFAULT 'dynamic',
  _type         VARCHAR(10)  NOT NULL DEFAULT 'friend',
  _nat          VARCHAR(40)  NOT NULL DEFAULT 'force_rport,comedia',
  _mailbox      VARCHAR(80)  NOT NULL DEFAULT '',
  _vmsecret     VARCHAR(40)  NOT NULL DEFAULT '',
  _outboundcid  VARCHAR(40)  NOT NULL DEFAULT '',
  _position     VARCHAR(40)  NOT NULL DEFAULT '',
  _F1 VARCHAR(40) NOT NULL DEFAULT '', _F2 VARCHAR(40) NOT NULL DEFAULT '',
  _F3 VARCHAR(40) NOT NULL DEFAULT '', _F4 VARCHAR(40) NOT NULL DEFAULT '',
  _email        VARCHAR(120) NOT NULL DEFAULT '',
  _dahdichan    VARCHAR(20)  NOT NULL DEFAULT '',
  _hasexten     VARCHAR(3)   NOT NULL DEFAULT 'yes',
  _directmedia  VARCHAR(3)   NOT NULL DEFAULT 'no',
  _videosupport VARCHAR(3)   NOT NULL DEFAULT 'no',
  _encryption   VARCHAR(3)   NOT NULL DEFAULT 'yes',
  _srtpcapable  VARCHAR(3)   NOT NULL DEFAULT 'yes',
  _deny         VARCHAR(40)  NOT NULL DEFAULT '0.0.0.0/0.0.0.0',
  _permit       VARCHAR(40)  NOT NULL DEFAULT '0.0.0.0/0.0.0.0',
  _avpf         VARCHAR(3)   NOT NULL DEFAULT 'yes',
  _force_avp    VARCHAR(3)   NOT NULL DEFAULT 'yes',
  _icesupport   VARCHAR(3)   NOT NULL DEFAULT 'yes',
  _dtlsverify   VARCHAR(3)   NOT NULL DEFAULT 'no',
  _dtlsenable   VARCHAR(3)   NOT NULL DEFAULT 'yes',
  _dtlscertfile VARCHAR(120) NOT NULL DEFAULT '/etc/asterisk/keys/asterisk.pem',
  _dtlscafile   VARCHAR(120) NOT NULL DEFAULT '/etc/asterisk/keys/ca.crt',
  _dtlssetup    VARCHAR(10)  NOT NULL DEFAULT 'actpass',
  _alaw  TINYINT(1) NOT NULL DEFAULT 1, _ulaw  TINYINT(1) NOT NULL DEFAULT 1,
  _g729  TINYINT(1) NOT NULL DEFAULT 0, _g726  TINYINT(1) NOT NULL DEFAULT 0,
  _g722  TINYINT(1) NOT NULL DEFAULT 0, _gsm   TINYINT(1) NOT NULL DEFAULT 0,
  _speex TINYINT(1) NOT NULL DEFAULT 0, _h261  TINYINT(1) NOT NULL DEFAULT 0,
  _h263  TINYINT(1) NOT NULL DEFAULT 0, _h263p TINYINT(1) NOT NULL DEFAULT 0,
  _h264  TINYINT(1) NOT NULL DEFAULT 0
) CHARACTER SET utf8mb4;

INSERT INTO users_webrtc (_exten, _secret, _callerid, _email, _h264)
VALUES ('901', 'web-901', '"Browser 901" <901>', 'ana@example.org', 1),
       ('902', '', '"Browser 902 🎧" <902>', 'bo@example.org', 0);
