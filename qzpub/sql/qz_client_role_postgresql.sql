-- The group role qz_client with what a client needs on YHDL, and nothing more. Run once, after
-- yhdl_postgresql.sql, as the table's owner (or a superuser), in the database that holds YHDL:
--   psql -d qz -f qz_client_role_postgresql.sql
-- then give each user a login in the group:
--   CREATE ROLE alice LOGIN PASSWORD '...' IN ROLE qz_client;
--
-- What clients run: Init reads the server time, deletes logins older than a day and the
-- user's earlier row (DELETE with a WHERE, which needs SELECT too) and inserts its own row
-- (INSERT ... RETURNING YH00); SendMessage selects rows; LogOut deletes its row. Nothing
-- updates a row. YH00 is an identity column, whose sequence the table advances itself, so
-- clients need no right on the sequence. A YHDL in a schema other than public also needs
-- GRANT USAGE ON SCHEMA that_schema TO qz_client.
DO $$
BEGIN
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'qz_client') THEN
    CREATE ROLE qz_client NOLOGIN;
  END IF;
END
$$;
REVOKE ALL ON TABLE YHDL FROM qz_client;
GRANT SELECT, INSERT, DELETE ON TABLE YHDL TO qz_client;
