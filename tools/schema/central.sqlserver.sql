-- Central database of a chain's stores (SQL Server): the consumers' passwords kept
-- outside the stations. A station reaches it as <database>.<schema>.SENHACONS.
-- Column conventions as in the station database.

CREATE TABLE SENHACONS (
    CDCLIENTE        VARCHAR(21)  NOT NULL,
    CDCONSUMIDOR     VARCHAR(21)  NOT NULL,
    CDSENHACONS      VARCHAR(20)  NULL,
    IDATUCONSUMI     CHAR(1)      NULL,
    DTULTATU         DATETIME     NULL,
    CONSTRAINT PK_SENHACONS PRIMARY KEY (CDCLIENTE, CDCONSUMIDOR)
);
