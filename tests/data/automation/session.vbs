' A session through the automation server, as a script writes it: connect with a host object,
' open the sample assembly, list its dependencies, a menu and a table call, save, close, release;
' then two failures, each raised with the library's message.
' Usage: cscript //nologo session.vbs SAMPLES-FOLDER
Option Explicit
Dim folder, host, connector, command, file
folder = WScript.Arguments(0)

Set host = CreateObject("Scripting.Dictionary")
Set connector = CreateObject("QarSldw.Connector")
connector.Version = "SolidWorks 2016"
Set command = connector.Connect(host)
WScript.Echo "connected: " & command.IsConnected
command.OpenFile folder & "\clamp.sldasm"
For Each file In command.Dependencies
    WScript.Echo "depends on: " & file
Next
command.CreateMenu "PLM"
command.RefreshTable "parts", 1
WScript.Echo "saved: " & command.SaveFile()
command.CloseFile
Set command = Nothing
WScript.Echo "released"

On Error Resume Next
connector.Version = "SolidWorks 2030"
Set command = connector.Connect()
Report
connector.Version = "SolidWorks 2016"
Set command = connector.Connect()
command.OpenFile folder & "\missing.sldasm"
Report

Sub Report()
    WScript.Echo "error " & Hex(Err.Number) & " from " & Err.Source & ": " & Err.Description
    Err.Clear
End Sub
