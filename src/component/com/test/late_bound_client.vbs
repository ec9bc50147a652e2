' A late-bound client of QZ_NetMessage.dll, written as script clients are: the object by its
' ProgID, its events through WScript.ConnectObject, variables passed by reference, literals by
' value, optional filters left out. It logs in, receives its own broadcast and logs out.
Option Explicit

Dim failures, received
failures = 0
received = ""

Sub Check(ok, what)
  If Not ok Then
    failures = failures + 1
    WScript.Echo "FAILED: " & what
  End If
End Sub

Sub net_acceptMessage(msg, userName, sysName, mdlName)
  received = received & msg & "|" & userName & "|" & sysName & "|" & mdlName & ";"
End Sub

Function Arrived(text)
  Dim waited
  waited = 0
  Do While InStr(received, text) = 0 And waited < 15000
    WScript.Sleep 100
    waited = waited + 100
  Loop
  Arrived = InStr(received, text) > 0
End Function

Dim net, hdbc, user, sys, mdl, text, filter
Set net = CreateObject("QZ_NetMessage.QZCLS_NetMessage")
WScript.ConnectObject net, "net_"

hdbc = 1
user = "scripter"
sys = "SYS"
mdl = "MOD"
net.Init hdbc, user, sys, mdl

' Every filter left out: a broadcast, which reaches this object too.
net.SendMessage "hello, everyone"
Check Arrived("hello, everyone|scripter|SYS|MOD;"), "own broadcast as acceptMessage"

' Variables by reference: the filter comes back trimmed, the message stays.
text = "to the scripter"
filter = "scripter   "
net.SendMessage text, filter
Check filter = "scripter", "the filter variable trimmed, got [" & filter & "]"
Check text = "to the scripter", "the message variable unchanged"
Check Arrived("to the scripter|scripter|SYS|MOD;"), "message filtered by user"

' The filters before the last one left out.
net.SendMessage "by module", , , mdl
Check Arrived("by module|scripter|SYS|MOD;"), "message filtered by module"

net.LogOut
WScript.DisconnectObject net
Set net = Nothing

If failures = 0 Then WScript.Echo "late-bound client passed"
