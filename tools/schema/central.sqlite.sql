-- Central database of a chain's stores (SQLite): the consumers' passwords kept
-- outside the stations. A station attaches the file under the database name and
-- reaches it as <database>.SENHACONS; date-times are ISO text as in the station database.
-- Column conventions as in the station database.

CREATE TABLE SENHACONS (
    CDCLIENTE        VARCHAR(21)  NOT NULL,
    CDCONSUMIDOR     VARCHAR(21)  NOT NULL,
    CDSENHACONS      VARCHAR(20)  NULL,
    IDATUCONSUMI     CHAR(1)      NULL,
    DTULTATU         DATETIME     NULL,
    CONSTRAINT PK_SENHACONS PRIMARY KEY (CDCLIENTE, CDCONSUMIDOR)
);
