-- Sample cards for the demo. The demo fixes the server clock at 2026-12-08 02:00:00,
-- so "yesterday" is 2026-12-07 and "today" is 2026-12-08.
-- startdate/enddate are Unix seconds; 1796572800 is 2026-12-07 00:00:00 at UTC+8.

-- Yesterday's ordinary cards: copied with the province code turned into its abbreviation.
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('D1001', N'0AK12345', 12, 120.00, 'KX-1001', '1796572800', '1828108800', 'A', '2026-12-07 09:15:00');
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('D1002', N'00A88888', 6, 65.50, 'KX-1002', '1780243200', '1811779200', 'B', '2026-12-07 10:02:41');
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('D1003', N'12B2C571', 12, 120.00, 'KX-1003', '1796572800', '1828108800', 'A', '2026-12-07 13:40:00');
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('D1004', N'09E77X21', 3, 30.25, 'KX-1004', '1796572800', '1804435200', 'C', '2026-12-07 17:05:09');
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('D1005', N'1BK123', 1, 10.00, 'KX-1005', '1796572800', '1799251200', 'A', '2026-12-07 20:30:00');
-- Problem records: an unknown province code (no row for "02"), no months or moneys,
-- a missing startdate (skipped, nothing written), and quotes in a text value.
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('D1006', N'02K99999', 12, 120.00, 'KX-1006', '1796572800', '1828108800', 'A', '2026-12-07 21:00:00');
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('D1007', N'0EL55555', NULL, NULL, 'KX-1007', '1796572800', '1828108800', 'B', '2026-12-07 22:10:00');
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('D1008', N'16A11111', 12, 120.00, 'KX-1008', NULL, '1828108800', 'A', '2026-12-07 23:00:00');
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('D1009', N'08C3K2L9', 12, 99.99, 'KX-O''Neil "B"', '1796572800', '1828108800', 'A', '2026-12-07 23:59:59');

-- Today's special cards: copied as they are.
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('S2001', N'111111', 12, 0.00, 'KX-2001', '1796659200', '1828195200', 'S', '2026-12-08 00:30:00');
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('S2002', N'000000', 1, 0.00, 'KX-2002', '1796659200', '1799337600', 'S', '2026-12-08 01:45:00');

-- Not selected: a special card of yesterday, an ordinary card of today, one from last week.
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('X3001', N'222222', 12, 0.00, 'KX-3001', '1796572800', '1828108800', 'S', '2026-12-07 11:00:00');
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('X3002', N'0AB00001', 12, 120.00, 'KX-3002', '1796659200', '1828195200', 'A', '2026-12-08 01:00:00');
INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, siji)
  VALUES ('X3003', N'05D44444', 12, 120.00, 'KX-3003', '1796054400', '1827590400', 'A', '2026-12-01 12:00:00');

-- One card already in the destination from an earlier run: it is only updated.
INSERT INTO T_quindale(order_id, kex_no, months, moneys, types, kahao)
  VALUES ('D1002', 'old', 0, 0, 'old', N'old');
