-- The reporting database's tables and the totals procedure that cardsync uses:
-- T_sendbase is read by the transfer job, T_quindale written by it, T_totals
-- filled by `totals`. Run once on an empty database (sqlcmd, tsql or the stand-in).

-- Source records. startdate and enddate hold Unix seconds as text, so a bad
-- value can exist and the job has to cope with it.
CREATE TABLE T_sendbase (
  order_id  varchar(32)  NOT NULL PRIMARY KEY,
  kahao     nvarchar(20) NULL,
  months    int          NULL,
  moneys    money        NULL,
  kex_no    varchar(32)  NULL,
  startdate varchar(20)  NULL,
  enddate   varchar(20)  NULL,
  types     varchar(10)  NULL,
  siji      datetime     NULL
)
GO

-- Destination: a row may be inserted with order_id alone, so every other column
-- accepts null.
CREATE TABLE T_quindale (
  order_id  varchar(32)  NOT NULL PRIMARY KEY,
  kex_no    varchar(32)  NULL,
  startdate datetime     NULL,
  enddate   datetime     NULL,
  months    int          NULL,
  moneys    money        NULL,
  types     varchar(10)  NULL,
  kahao     nvarchar(20) NULL,
  siji      datetime     NULL
)
GO

CREATE TABLE T_totals (
  day         date  NOT NULL PRIMARY KEY,
  cards       int   NOT NULL,
  money_total money NULL
)
GO

-- The old totals are replaced in one transaction: a recount that fails (a sum
-- past what money holds, say) leaves them as they were instead of emptied.
-- XACT_ABORT rolls back on any error, so the transaction is never left open.
CREATE PROCEDURE totals AS
BEGIN
  SET NOCOUNT ON;
  SET XACT_ABORT ON;
  BEGIN TRANSACTION;
  DELETE FROM T_totals;
  INSERT INTO T_totals(day, cards, money_total)
    SELECT CAST(siji AS date), count(*), sum(moneys)
    FROM T_quindale WHERE siji IS NOT NULL GROUP BY CAST(siji AS date);
  COMMIT TRANSACTION;
END
GO
